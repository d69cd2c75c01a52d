// Placeholder: replaced by the settings watcher.
#include "asio/driver/kel_asio_driver.h"

bool CKelAsioDriver::StartSettingsWatcher() { return true; }
void CKelAsioDriver::StopSettingsWatcher() {}
DWORD WINAPI CKelAsioDriver::SettingsWatcherProc(LPVOID) { return 0; }
DWORD CKelAsioDriver::SettingsWatcherLoop() { return 0; }
void CKelAsioDriver::OnSettingsChanged() {}
