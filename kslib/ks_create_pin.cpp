#include "kslib/ks_create_pin.h"

#include <atomic>

namespace kslib {
namespace {

typedef DWORD(WINAPI* KsCreatePinFunction)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

// Concurrent first calls resolve the same values; atomics keep that race benign.
std::atomic<HMODULE> ksUserModule{nullptr};
std::atomic<void*> ksCreatePin{nullptr};

}  // namespace

DWORD CallKsCreatePin(HANDLE filter, KSPIN_CONNECT* connect, ACCESS_MASK access, HANDLE* pin) {
  void* function = ksCreatePin.load(std::memory_order_acquire);
  if (function == nullptr) {
    HMODULE module = ksUserModule.load(std::memory_order_acquire);
    if (module == nullptr) {
      module = ::LoadLibraryW(L"ksuser.dll");
      if (module == nullptr) return ERROR_FILE_NOT_FOUND;
      ksUserModule.store(module, std::memory_order_release);
    }
    FARPROC proc = ::GetProcAddress(module, "KsCreatePin");
    if (proc == nullptr) return ERROR_FILE_NOT_FOUND;
    function = reinterpret_cast<void*>(proc);
    ksCreatePin.store(function, std::memory_order_release);
  }
  return reinterpret_cast<KsCreatePinFunction>(function)(filter, connect, access, pin);
}

namespace testing {
void ForgetKsCreatePin() {
  ksCreatePin.store(nullptr);
  ksUserModule.store(nullptr);
}
}  // namespace testing

}  // namespace kslib
