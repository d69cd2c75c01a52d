// Placeholder: replaced by the driver object's core.
#include "asio/driver/kel_asio_driver.h"

#include <cstring>

static CKelAsioDriver* g_instance = nullptr;

CUnknown* CKelAsioDriver::CreateInstance(IUnknown* outer, HRESULT* result) {
  if (g_instance != nullptr) return nullptr;
  g_instance = new CKelAsioDriver(outer);
  if (result != nullptr) *result = S_OK;
  return g_instance;
}
CKelAsioDriver* CKelAsioDriver::Instance() { return g_instance; }

CKelAsioDriver::CKelAsioDriver(IUnknown* outer) : CUnknown(outer) {
  std::memset(&m_ioFormat, 0, sizeof(m_ioFormat));
  std::memset(&m_asioTime, 0, sizeof(m_asioTime));
}
CKelAsioDriver::~CKelAsioDriver() { g_instance = nullptr; }

HRESULT STDMETHODCALLTYPE CKelAsioDriver::QueryInterface(REFIID iid, void** out) {
  return GetOwner()->QueryInterface(iid, out);
}
ULONG STDMETHODCALLTYPE CKelAsioDriver::AddRef() { return GetOwner()->AddRef(); }
ULONG STDMETHODCALLTYPE CKelAsioDriver::Release() { return GetOwner()->Release(); }
HRESULT STDMETHODCALLTYPE CKelAsioDriver::NonDelegatingQueryInterface(REFIID iid, void** out) {
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

ASIOBool CKelAsioDriver::init(void*) { return ASIOFalse; }
void CKelAsioDriver::getDriverName(char* name) { name[0] = 0; }
LONG CKelAsioDriver::getDriverVersion() { return 1; }
void CKelAsioDriver::getErrorMessage(char* string) { string[0] = 0; }
ASIOError CKelAsioDriver::getChannels(LONG*, LONG*) { return ASE_NotPresent; }
ASIOError CKelAsioDriver::getLatencies(LONG*, LONG*) { return ASE_NotPresent; }
ASIOError CKelAsioDriver::getBufferSize(LONG*, LONG*, LONG*, LONG*) { return ASE_NotPresent; }
ASIOError CKelAsioDriver::canSampleRate(ASIOSampleRate) { return ASE_NotPresent; }
ASIOError CKelAsioDriver::getSampleRate(ASIOSampleRate*) { return ASE_NotPresent; }
ASIOError CKelAsioDriver::getClockSources(ASIOClockSource*, LONG*) { return ASE_NotPresent; }
ASIOError CKelAsioDriver::setClockSource(LONG) { return ASE_NotPresent; }
ASIOError CKelAsioDriver::getSamplePosition(ASIOSamples*, ASIOTimeStamp*) { return ASE_NotPresent; }
ASIOError CKelAsioDriver::getChannelInfo(ASIOChannelInfo*) { return ASE_NotPresent; }
ASIOError CKelAsioDriver::controlPanel() { return ASE_OK; }
ASIOError CKelAsioDriver::future(LONG, void*) { return ASE_InvalidParameter; }
void CKelAsioDriver::NotifyAsioRunning(bool) {}
void CKelAsioDriver::ChangeSettings() {}
void CKelAsioDriver::LoadConfiguration() {}
void CKelAsioDriver::ReadDeviceSettings() {}
void CKelAsioDriver::TakeEntryRanges(const DeviceListEntry*) {}
bool CKelAsioDriver::InRateList(ULONG) const { return false; }
