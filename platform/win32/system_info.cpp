// <sysinfoapi.h>: the Windows version a program sees, the machine's
// processor layout, the tick counts and the performance counter; and the
// reset of every system stand-in setting (system_host.h).
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/win32/system_host.h"

namespace platform::win32::detail {
void ResetModules();
void ResetScheduler();
void ResetTimerPeriods();
}  // namespace platform::win32::detail

namespace {

struct Layout {
  unsigned packages = 1, cores = 2, threads = 1;
};

struct SystemSettings {
  std::mutex mutex;
  DWORD major = 6, minor = 2, build = 9200;
  Layout layout;
};

SystemSettings& Settings() {
  static SystemSettings settings;
  return settings;
}

std::atomic<uint64_t> g_uptimeBias{0};

const std::chrono::steady_clock::time_point& Origin() {
  static const std::chrono::steady_clock::time_point origin = std::chrono::steady_clock::now();
  return origin;
}

// Size of OSVERSIONINFOEXW: OSVERSIONINFOW plus service pack, suite mask and
// product type.
constexpr DWORD kVersionInfoExSize = sizeof(OSVERSIONINFOW) + 8;

SYSTEM_LOGICAL_PROCESSOR_INFORMATION CacheRecord(ULONG_PTR mask, BYTE level, BYTE associativity, DWORD size,
                                                 PROCESSOR_CACHE_TYPE type) {
  SYSTEM_LOGICAL_PROCESSOR_INFORMATION r;
  memset(&r, 0, sizeof r);
  r.ProcessorMask = mask;
  r.Relationship = RelationCache;
  r.Cache.Level = level;
  r.Cache.Associativity = associativity;
  r.Cache.LineSize = 64;
  r.Cache.Size = size;
  r.Cache.Type = type;
  return r;
}

// The records Windows reports for the layout, in its order: per core the
// core and its L1 data, L1 instruction and L2 caches; then per package the
// package, its L3 and its NUMA node.
std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> Records(const Layout& layout) {
  std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> out;
  unsigned cpu = 0;
  for (unsigned p = 0; p < layout.packages; ++p) {
    ULONG_PTR packageMask = 0;
    for (unsigned c = 0; c < layout.cores; ++c) {
      ULONG_PTR coreMask = 0;
      for (unsigned t = 0; t < layout.threads; ++t) coreMask |= ULONG_PTR{1} << cpu++;
      packageMask |= coreMask;
      SYSTEM_LOGICAL_PROCESSOR_INFORMATION core;
      memset(&core, 0, sizeof core);
      core.ProcessorMask = coreMask;
      core.Relationship = RelationProcessorCore;
      core.ProcessorCore.Flags = layout.threads > 1 ? 1 : 0;  // LTP_PC_SMT
      out.push_back(core);
      out.push_back(CacheRecord(coreMask, 1, 12, 48 * 1024, CacheData));
      out.push_back(CacheRecord(coreMask, 1, 8, 32 * 1024, CacheInstruction));
      out.push_back(CacheRecord(coreMask, 2, 10, 1280 * 1024, CacheUnified));
    }
    SYSTEM_LOGICAL_PROCESSOR_INFORMATION package;
    memset(&package, 0, sizeof package);
    package.ProcessorMask = packageMask;
    package.Relationship = RelationProcessorPackage;
    out.push_back(package);
    out.push_back(CacheRecord(packageMask, 3, 12, 12 * 1024 * 1024, CacheUnified));
    SYSTEM_LOGICAL_PROCESSOR_INFORMATION node;
    memset(&node, 0, sizeof node);
    node.ProcessorMask = packageMask;
    node.Relationship = RelationNumaNode;
    node.NumaNode.NodeNumber = p;
    out.push_back(node);
  }
  return out;
}

uint64_t UptimeMs() {
  auto elapsed = std::chrono::steady_clock::now() - Origin();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()) + g_uptimeBias.load();
}

}  // namespace

namespace platform::win32 {

void SetWindowsVersion(DWORD major, DWORD minor, DWORD build) {
  SystemSettings& s = Settings();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.major = major;
  s.minor = minor;
  s.build = build;
}

bool SetProcessorLayout(unsigned packages, unsigned coresPerPackage, unsigned threadsPerCore) {
  if (packages == 0 || coresPerPackage == 0 || threadsPerCore == 0) return false;
  if (static_cast<unsigned long long>(packages) * coresPerPackage * threadsPerCore > 64) return false;
  SystemSettings& s = Settings();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.layout = {packages, coresPerPackage, threadsPerCore};
  return true;
}

void SetUptimeBias(uint64_t milliseconds) { g_uptimeBias = milliseconds; }

void ResetSystemStandIns() {
  {
    SystemSettings& s = Settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.major = 6;
    s.minor = 2;
    s.build = 9200;
    s.layout = Layout();
  }
  g_uptimeBias = 0;
  detail::ResetModules();
  detail::ResetScheduler();
  detail::ResetTimerPeriods();
  FailNextThreadCreations(0);
}

namespace detail {
// Milliseconds of simulated uptime (timeGetTime's source too).
uint64_t UptimeMilliseconds() { return UptimeMs(); }
}  // namespace detail

}  // namespace platform::win32

USBAUDIO_BEGIN_C

// dwOSVersionInfoSize must name OSVERSIONINFOW or OSVERSIONINFOEXW.
BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
  if (!lpVersionInformation) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
  if (size != sizeof(OSVERSIONINFOW) && size != kVersionInfoExSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  SystemSettings& s = Settings();
  std::lock_guard<std::mutex> lock(s.mutex);
  lpVersionInformation->dwMajorVersion = s.major;
  lpVersionInformation->dwMinorVersion = s.minor;
  lpVersionInformation->dwBuildNumber = s.build;
  lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
  memset(lpVersionInformation->szCSDVersion, 0, sizeof lpVersionInformation->szCSDVersion);
  if (size == kVersionInfoExSize) {
    // No service pack; suite VER_SUITE_SINGLEUSERTS; product VER_NT_WORKSTATION.
    const unsigned char extra[8] = {0, 0, 0, 0, 0x00, 0x01, 1, 0};
    memcpy(reinterpret_cast<unsigned char*>(lpVersionInformation) + sizeof(OSVERSIONINFOW), extra, sizeof extra);
  }
  return TRUE;
}

// The size protocol: a length below what the layout needs (0 included)
// gives FALSE, ERROR_INSUFFICIENT_BUFFER and the needed length; otherwise
// the records are written and the length set to the bytes written.
BOOL WINAPI GetLogicalProcessorInformation(PSYSTEM_LOGICAL_PROCESSOR_INFORMATION Buffer, PDWORD ReturnedLength) {
  if (!ReturnedLength) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Layout layout;
  {
    SystemSettings& s = Settings();
    std::lock_guard<std::mutex> lock(s.mutex);
    layout = s.layout;
  }
  const auto records = Records(layout);
  const DWORD needed = static_cast<DWORD>(records.size() * sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
  if (*ReturnedLength < needed) {
    *ReturnedLength = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (!Buffer) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  memcpy(Buffer, records.data(), needed);
  *ReturnedLength = needed;
  return TRUE;
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(UptimeMs()); }

ULONGLONG WINAPI GetTickCount64(void) { return UptimeMs(); }

// A 10 MHz counter, as Windows 10 reports on most machines.
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
  if (!lpPerformanceCount) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  auto elapsed = std::chrono::steady_clock::now() - Origin();
  lpPerformanceCount->QuadPart =
      std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100 + static_cast<LONGLONG>(g_uptimeBias.load()) * 10000;
  return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
  if (!lpFrequency) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  lpFrequency->QuadPart = 10000000;
  return TRUE;
}

USBAUDIO_END_C
