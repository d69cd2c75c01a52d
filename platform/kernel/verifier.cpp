// Bug checks and the leak check of the kernel verifier.
#include "platform/kernel/verifier.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/kernel/client_process.h"
#include "platform/kernel/internal.h"

// Provided by the sanitizer runtimes when one is linked in.
extern "C" void __sanitizer_print_stack_trace() __attribute__((weak));
extern "C" void __sanitizer_symbolize_pc(void* pc, const char* fmt, char* out, size_t size)
    __attribute__((weak));

namespace platform {
namespace detail {
namespace {

[[noreturn]] void Report(const void* caller, const char* rule, const char* fmt, va_list args) {
  char message[4096];
  vsnprintf(message, sizeof message, fmt, args);
  fprintf(stderr, "*** BUGCHECK %s: %s\n", rule, message);
  if (caller) fprintf(stderr, "    caller: %s\n", DescribeAddress(caller).c_str());
  if (__sanitizer_print_stack_trace) {
    __sanitizer_print_stack_trace();
  } else {
    void* frames[64];
    int n = backtrace(frames, 64);
    backtrace_symbols_fd(frames, n, STDERR_FILENO);
  }
  fflush(stderr);
  abort();
}

}  // namespace

std::string DescribeAddress(const void* pc) {
  char buffer[512];
  if (__sanitizer_symbolize_pc) {
    // The return address points after the call; step back into it.
    __sanitizer_symbolize_pc(const_cast<char*>(static_cast<const char*>(pc)) - 1, "%p %F %L", buffer,
                             sizeof buffer);
    return buffer;
  }
  Dl_info info;
  if (dladdr(pc, &info) && info.dli_fname) {
    snprintf(buffer, sizeof buffer, "%p %s+0x%zx (%s)", pc, info.dli_sname ? info.dli_sname : "?",
             static_cast<size_t>(static_cast<const char*>(pc) -
                                 static_cast<const char*>(info.dli_sname ? info.dli_saddr : info.dli_fbase)),
             info.dli_fname);
    return buffer;
  }
  snprintf(buffer, sizeof buffer, "%p", pc);
  return buffer;
}

void BugCheckAt(const void* caller, const char* rule, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Report(caller, rule, fmt, args);
}

}  // namespace detail

void BugCheck(const char* rule, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  detail::Report(__builtin_return_address(0), rule, fmt, args);
}

std::string TagToString(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
    s += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
  }
  return s;
}

void VerifyNoLeaks(const char* context) {
  if (OutstandingThreads() != 0) {
    BugCheck("THREAD_OBJECT_LEAK", "%s: %zu thread objects outstanding\n%s", context, OutstandingThreads(),
             DescribeOutstandingThreads().c_str());
  }
  if (detail::OutstandingThreadHandles() != 0) {
    BugCheck("HANDLE_LEAK", "%s: %zu thread handles still open", context, detail::OutstandingThreadHandles());
  }
  size_t clientReferences = 0;
  std::string clientObjects = detail::DescribeClientObjectReferences(&clientReferences);
  if (clientReferences != 0) {
    BugCheck("OBJECT_REFERENCE_LEAK", "%s: kernel references left on %zu client objects\n%s", context,
             clientReferences, clientObjects.c_str());
  }
  if (OutstandingMdls() != 0) {
    BugCheck("MDL_LEAK", "%s: %zu MDLs outstanding\n%s", context, OutstandingMdls(),
             DescribeOutstandingMdls().c_str());
  }
  if (OutstandingPoolAllocations() != 0) {
    BugCheck("POOL_LEAK", "%s: %zu pool allocations outstanding\n%s", context,
             OutstandingPoolAllocations(), DescribeOutstandingPool().c_str());
  }
  if (OutstandingIrps() != 0) {
    BugCheck("IRP_LEAK", "%s: %zu IRPs outstanding\n%s", context, OutstandingIrps(),
             DescribeOutstandingIrps().c_str());
  }
}

void ResetFaultInjection() {
  detail::ResetPoolFaults();
  detail::ResetIrpFaults();
  FailNextUserMappings(0);
}

}  // namespace platform

using platform::detail::BugCheckAt;

extern "C" {

VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message) {
  BugCheckAt(USBAUDIO_CALLER(), "ASSERTION_FAILED", "%s at %s:%u%s%s", static_cast<const char*>(FailedAssertion),
             static_cast<const char*>(FileName), LineNumber, Message ? " - " : "", Message ? Message : "");
}

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  BugCheckAt(USBAUDIO_CALLER(), "KE_BUGCHECK", "code 0x%08X (0x%llx, 0x%llx, 0x%llx, 0x%llx)", BugCheckCode, P1, P2,
             P3, P4);
}

VOID NTAPI KeBugCheck(ULONG BugCheckCode) {
  BugCheckAt(USBAUDIO_CALLER(), "KE_BUGCHECK", "code 0x%08X", BugCheckCode);
}

VOID NTAPI DbgBreakPoint(VOID) {
  BugCheckAt(USBAUDIO_CALLER(), "DBG_BREAKPOINT", "DbgBreakPoint without a debugger");
}

}  // extern "C"
