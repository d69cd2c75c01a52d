// Host-only API of the kernel verifier: bug checks, pool and IRP accounting,
// leak checks and fault injection. Not part of the Windows build; tests and
// the simulated system manager use it, driver code never does.
#pragma once

#include <ntdef.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/kernel/debug_sink.h"  // SetDebugPrintSink

namespace platform {

// Prints "*** BUGCHECK <rule>: <message>", the caller and a stack trace to
// stderr, then aborts. Tests of a rule use EXPECT_DEATH on the rule name.
[[noreturn]] void BugCheck(const char* rule, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The tag whose bytes in memory are s, e.g. PoolTag("USBA") == 'ABSU'.
constexpr ULONG PoolTag(const char (&s)[5]) {
  return static_cast<ULONG>(static_cast<unsigned char>(s[0])) |
         static_cast<ULONG>(static_cast<unsigned char>(s[1])) << 8 |
         static_cast<ULONG>(static_cast<unsigned char>(s[2])) << 16 |
         static_cast<ULONG>(static_cast<unsigned char>(s[3])) << 24;
}

// The tag as poolmon prints it: its bytes in memory order ('ABSU' -> "USBA").
std::string TagToString(ULONG tag);

// Pool accounting (allocations that are currently live).
size_t OutstandingPoolAllocations();
size_t OutstandingPoolAllocations(ULONG tag);
size_t OutstandingPoolBytes(ULONG tag);
// Allocations ever made with the tag, for "nothing allocated in steady state".
uint64_t TotalPoolAllocations(ULONG tag);
// One line per tag with live allocations: tag, count, bytes, first callers.
std::string DescribeOutstandingPool();

// IRPs from IoAllocateIrp / IoBuildDeviceIoControlRequest not yet freed.
size_t OutstandingIrps();
std::string DescribeOutstandingIrps();

// Device objects created with IoCreateDevice and not yet deleted.
size_t OutstandingDeviceObjects();

// System thread objects (from PsCreateSystemThread) not yet freed: a thread
// that still runs or an object a handle or reference still names.
size_t OutstandingThreads();
std::string DescribeOutstandingThreads();

// MDLs from IoAllocateMdl not yet freed.
size_t OutstandingMdls();
std::string DescribeOutstandingMdls();

// Bug checks with THREAD_OBJECT_LEAK, HANDLE_LEAK (thread handles),
// OBJECT_REFERENCE_LEAK (kernel references on client events or process
// objects), MDL_LEAK, POOL_LEAK or IRP_LEAK (listing what is outstanding) when
// anything is left; called when a device is torn down or the driver unloads.
void VerifyNoLeaks(const char* context);

// Fault injection: the nth matching allocation from now (0 = the next one)
// fails once. tag 0 matches every pool allocation.
void FailPoolAllocation(ULONG tag, long nth);
void FailIrpAllocation(long nth);
void ResetFaultInjection();

}  // namespace platform
