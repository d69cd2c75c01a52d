// Placeholder: replaced by createBuffers / disposeBuffers.
#include "asio/driver/kel_asio_driver.h"

ASIOError CKelAsioDriver::createBuffers(ASIOBufferInfo*, LONG, LONG, ASIOCallbacks*) { return ASE_NotPresent; }
ASIOError CKelAsioDriver::disposeBuffers() { return ASE_NotPresent; }
CKsAudPin* CKelAsioDriver::OpenPin(bool) { return nullptr; }
AsioSharedHeader* CKelAsioDriver::CreateSharedBuffers(CKsAudPin*, ASIOBufferInfo*, LONG, bool, ULONG) {
  return nullptr;
}
void CKelAsioDriver::ReleaseBuffers() {}
