// Placeholder: replaced by start / stop / setSampleRate.
#include "asio/driver/kel_asio_driver.h"

ASIOError CKelAsioDriver::start() { return ASE_NotPresent; }
ASIOError CKelAsioDriver::stop() { return ASE_NotPresent; }
ASIOError CKelAsioDriver::setSampleRate(ASIOSampleRate) { return ASE_NotPresent; }
ASIOError CKelAsioDriver::outputReady() { return ASE_OK; }
bool CKelAsioDriver::changeSamplingRate(ULONG) { return false; }
bool CKelAsioDriver::SetPinState(CKsAudPin*, KSSTATE) { return false; }
void CKelAsioDriver::ClosePins() {}
