// The user-mode trace provider: one registration per process, counted so
// the driver object and the DLL may each hold one. Lines are formatted on
// the stack only when a session listens, so tracing costs the buffer-switch
// thread one check when nobody does.
#include "asio/asio_trace.h"

#include <evntprov.h>

#include <atomic>
#include <cstdarg>

#include "asio/asio_types.h"

const GUID kAsioTraceControlGuid = {0xF9B424D4, 0x51A1, 0x40E0, {0x8E, 0xB1, 0x1B, 0x90, 0x97, 0xAF, 0x98, 0x11}};

namespace {

std::atomic<REGHANDLE> g_handle{0};
LONG g_registrations = 0;  // under g_lock
std::atomic_flag g_lock = ATOMIC_FLAG_INIT;

// Registration and its release are rare and short: a spin is enough.
class RegistrationLock {
 public:
  RegistrationLock() {
    while (g_lock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~RegistrationLock() { g_lock.clear(std::memory_order_release); }
  RegistrationLock(const RegistrationLock&) = delete;
  RegistrationLock& operator=(const RegistrationLock&) = delete;
};

constexpr size_t kLineChars = 256;

}  // namespace

void AsioTraceRegister() {
  RegistrationLock lock;
  if (g_registrations++ != 0) return;
  REGHANDLE handle = 0;
  if (EventRegister(&kAsioTraceControlGuid, nullptr, nullptr, &handle) == ERROR_SUCCESS) {
    g_handle.store(handle, std::memory_order_release);
  }
}

void AsioTraceUnregister() {
  RegistrationLock lock;
  if (g_registrations == 0) return;
  if (--g_registrations != 0) return;
  const REGHANDLE handle = g_handle.exchange(0, std::memory_order_acq_rel);
  if (handle != 0) EventUnregister(handle);
}

void AsioTrace(AsioTraceLevel level, const char* format, ...) {
  const REGHANDLE handle = g_handle.load(std::memory_order_acquire);
  if (handle == 0 || format == nullptr || !EventProviderEnabled(handle, level, 0)) return;
  char text[kLineChars];
  va_list args;
  va_start(args, format);
  StringCchVPrintfA(text, kLineChars, format, args);  // a longer line is cut, still terminated
  va_end(args);
  WCHAR wide[kLineChars];
  size_t i = 0;
  for (; i + 1 < kLineChars && text[i] != 0; ++i) wide[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
  wide[i] = 0;
  EventWriteString(handle, level, 0, wide);
}

const char* AsioErrorName(LONG error) {
  switch (error) {
    case ASE_OK:
      return "ASE_OK";
    case ASE_SUCCESS:
      return "ASE_SUCCESS";
    case ASE_NotPresent:
      return "ASE_NotPresent";
    case ASE_HWMalfunction:
      return "ASE_HWMalfunction";
    case ASE_InvalidParameter:
      return "ASE_InvalidParameter";
    case ASE_InvalidMode:
      return "ASE_InvalidMode";
    case ASE_SPNotAdvancing:
      return "ASE_SPNotAdvancing";
    case ASE_NoClock:
      return "ASE_NoClock";
    case ASE_NoMemory:
      return "ASE_NoMemory";
    default:
      return "Unknown";
  }
}

void AsioTraceEnter(const char* method) { AsioTrace(kAsioTraceVerbose, "%s Start.\n", method); }

LONG AsioTraceReturn(const char* method, LONG result) {
  const bool failed = result != ASE_OK && result != ASE_SUCCESS;
  AsioTrace(failed ? kAsioTraceWarning : kAsioTraceVerbose, "%s Return. [%s]\n", method, AsioErrorName(result));
  return result;
}
