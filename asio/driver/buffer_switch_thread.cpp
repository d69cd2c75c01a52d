// Placeholder: replaced by the buffer-switch thread.
#include "asio/driver/kel_asio_driver.h"

void CKelAsioDriver::StartBufferSwitchThread() {}
void CKelAsioDriver::StopBufferSwitchThread() {}
DWORD WINAPI CKelAsioDriver::BufferSwitchThreadProc(LPVOID) { return 0; }
void CKelAsioDriver::BufferSwitchLoop() {}
void CKelAsioDriver::BufferSwitchIteration() {}
void CKelAsioDriver::CallHost() {}
void CKelAsioDriver::TimeInfoSwitch() {}
void CKelAsioDriver::TakeSystemTime() {}
