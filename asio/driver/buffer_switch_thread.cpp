// The buffer-switch thread: waits for the kernel's buffer-switch event,
// works out from the shared header which half the host processes now,
// keeps the sample position and time stamp, and calls the host's
// bufferSwitch or bufferSwitchTimeInfo. A second without an event and a
// device error in the render header become reset requests to the host.
//
// The loop allocates nothing and blocks only in its one wait (and in the
// host's callback). Driver members are read without locks; the few words
// other threads change while it runs (state, threadRunning, stopRequest,
// the thread id, the shared header) are accessed atomically.
#include "asio/driver/kel_asio_driver.h"

#include <cstdint>

#include "asio/asio_trace.h"

namespace {

typedef HANDLE(WINAPI* AvSetMmThreadCharacteristicsWFn)(LPCWSTR taskName, LPDWORD taskIndex);
typedef BOOL(WINAPI* AvRevertMmThreadCharacteristicsFn)(HANDLE avrtHandle);

constexpr DWORD kSwitchWaitMs = 1000;      // no event this long: ask the host to reset
constexpr DWORD kThreadEndWaitMs = 1000;   // how long a stop waits for the thread
constexpr double kTwoTo32 = 4294967296.0;

template <typename T>
T LoadWord(const volatile T* word) {
  return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}
template <typename T>
void StoreWord(volatile T* word, T value) {
  __atomic_store_n(word, value, __ATOMIC_RELEASE);
}

// The period of one half in milliseconds (0 without a rate).
DWORD BufferPeriodMs(ULONG bufferSize, ULONG sampleRate) {
  if (sampleRate == 0) return 0;
  return static_cast<DWORD>(static_cast<uint64_t>(bufferSize) * 1000u / sampleRate);
}

void ResetRequest(const ASIOCallbacks* callbacks, const char* why) {
  AsioTrace(kAsioTraceWarning, "BufferSwitchThread: reset request (%s)\n", why);
  if (callbacks != nullptr && callbacks->asioMessage != nullptr) {
    callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
  }
}

}  // namespace

void CKelAsioDriver::StartBufferSwitchThread() {
  StoreWord(&m_threadRunning, static_cast<LONG>(1));
  // Created suspended so its id is recorded before it can reach a host
  // callback that might call stop().
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, BufferSwitchThreadProc, this, CREATE_SUSPENDED, &id);
  if (thread == nullptr) {
    AsioTrace(kAsioTraceError, "BufferSwitchThread: CreateThread failed (%lu)\n",
              static_cast<unsigned long>(GetLastError()));
    return;
  }
  m_bufferSwitchThread = thread;
  StoreWord(&m_bufferSwitchThreadId, id);
  ResumeThread(thread);
}

void CKelAsioDriver::StopBufferSwitchThread() {
  StoreWord(&m_threadRunning, static_cast<LONG>(0));
  if (m_bufferSwitchThread == nullptr) return;
  // A host that stops from inside its callback runs on this very thread:
  // waiting would only time out (or never end). The loop ends after the
  // current iteration; the handle is closed by the next stop from another
  // thread.
  if (LoadWord(&m_bufferSwitchThreadId) == GetCurrentThreadId()) {
    AsioTrace(kAsioTraceInfo, "BufferSwitchThread: stopped from its own callback\n");
    return;
  }
  if (WaitForSingleObject(m_bufferSwitchThread, kThreadEndWaitMs) != WAIT_OBJECT_0) {
    // Still in the host's callback: keep the handle so start waits again.
    AsioTrace(kAsioTraceWarning, "BufferSwitchThread: did not end within %lu ms\n",
              static_cast<unsigned long>(kThreadEndWaitMs));
    return;
  }
  CloseHandle(m_bufferSwitchThread);
  m_bufferSwitchThread = nullptr;
  StoreWord(&m_bufferSwitchThreadId, static_cast<DWORD>(0));
}

DWORD WINAPI CKelAsioDriver::BufferSwitchThreadProc(LPVOID self) {
  CKelAsioDriver* driver = static_cast<CKelAsioDriver*>(self);
  if (driver == nullptr || driver->m_stopEvent == nullptr) {
    AsioTrace(kAsioTraceError, "BufferSwitchThread: no driver object or stop event, ending\n");
    return 0;
  }
  driver->BufferSwitchLoop();
  return 0;
}

void CKelAsioDriver::BufferSwitchLoop() {
  // Priority: "Pro Audio" through the multimedia class scheduler, which
  // avrt.dll offers from Windows 6 on (loaded at run time so the driver
  // still loads where it is missing); before that the highest thread
  // priority. Failures leave the thread at its normal priority.
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  bool mmcssSystem = true;
  if (GetVersionExW(&version)) {
    mmcssSystem = version.dwMajorVersion >= 6;
  } else {
    AsioTrace(kAsioTraceWarning, "BufferSwitchThread: GetVersionExW failed (%lu)\n",
              static_cast<unsigned long>(GetLastError()));
  }
  HMODULE avrt = nullptr;
  HANDLE task = nullptr;
  if (!mmcssSystem) {
    if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST)) {
      AsioTrace(kAsioTraceWarning, "BufferSwitchThread: SetThreadPriority failed (%lu)\n",
                static_cast<unsigned long>(GetLastError()));
    }
  } else {
    avrt = LoadLibraryW(L"avrt.dll");
    if (avrt == nullptr) {
      AsioTrace(kAsioTraceWarning, "BufferSwitchThread: avrt.dll not loaded (%lu)\n",
                static_cast<unsigned long>(GetLastError()));
    } else {
      auto join = reinterpret_cast<AvSetMmThreadCharacteristicsWFn>(
          reinterpret_cast<void (*)()>(GetProcAddress(avrt, "AvSetMmThreadCharacteristicsW")));
      DWORD taskIndex = 0;
      if (join == nullptr) {
        AsioTrace(kAsioTraceWarning, "BufferSwitchThread: AvSetMmThreadCharacteristicsW not found\n");
      } else if ((task = join(L"Pro Audio", &taskIndex)) == nullptr) {
        AsioTrace(kAsioTraceWarning, "BufferSwitchThread: AvSetMmThreadCharacteristicsW failed (%lu)\n",
                  static_cast<unsigned long>(GetLastError()));
      } else {
        AsioTrace(kAsioTraceInfo, "BufferSwitchThread: joined \"Pro Audio\" (task index %lu)\n",
                  static_cast<unsigned long>(taskIndex));
      }
    }
  }

  const DWORD self = GetCurrentThreadId();
  for (;;) {
    BufferSwitchIteration();
    if (WaitForSingleObject(m_stopEvent, 0) == WAIT_OBJECT_0) break;
    if (LoadWord(&m_threadRunning) == 0) break;
    // A start after a stop from inside the host's callback made a new
    // thread the driver's: this one leaves.
    if (LoadWord(&m_bufferSwitchThreadId) != self) break;
  }

  if (avrt != nullptr) {
    auto revert = reinterpret_cast<AvRevertMmThreadCharacteristicsFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(avrt, "AvRevertMmThreadCharacteristics")));
    if (revert == nullptr) {
      AsioTrace(kAsioTraceWarning, "BufferSwitchThread: AvRevertMmThreadCharacteristics not found\n");
    } else if (!revert(task)) {
      AsioTrace(kAsioTraceWarning, "BufferSwitchThread: AvRevertMmThreadCharacteristics failed (%lu)\n",
                static_cast<unsigned long>(GetLastError()));
    }
    FreeLibrary(avrt);
  }
}

void CKelAsioDriver::BufferSwitchIteration() {
  TakeSystemTime();
  if (LoadWord(&m_state) != kRunning) {
    const DWORD period = BufferPeriodMs(m_bufferSize, m_sampleRate);
    AsioTrace(kAsioTraceVerbose, "BufferSwitchThread: not running, sleeping %lu ms\n",
              static_cast<unsigned long>(period));
    Sleep(period);
    return;
  }

  const DWORD waited = WaitForMultipleObjects(2, m_waitList, FALSE, kSwitchWaitMs);
  if (waited == WAIT_OBJECT_0 + 1) {
    AsioSharedHeader* header = m_activeInputs > 0 ? m_inputHeader : (m_activeOutputs > 0 ? m_outputHeader : nullptr);
    if (header == nullptr) {
      AsioTrace(kAsioTraceError, "BufferSwitchThread: buffer-switch event without a shared header\n");
    } else {
      // The kernel works on currentHalf; the host takes the other one.
      const ULONG index = AsioHeaderLoad(&header->currentHalf) == 0 ? 1 : 0;
      m_bufferIndex = index;
      if ((m_lastIndex == 0 || m_lastIndex == 1) && static_cast<ULONG>(m_lastIndex) == index) {
        AsioTrace(kAsioTraceWarning, "BufferSwitchThread: half %lu twice in a row\n", static_cast<unsigned long>(index));
      }
      m_lastIndex = static_cast<LONG>(index);
      // Read and reset in one step: an increment the kernel makes meanwhile
      // is not lost.
      const uint32_t toggles = AsioHeaderExchange(&header->toggleCount, 0);
      if (toggles > 1) {
        AsioTrace(kAsioTraceWarning, "BufferSwitchThread: %lu buffer switches missed\n",
                  static_cast<unsigned long>(toggles - 1));
      }
      if (m_preroll != 0) {
        // The first switch for each half fills the buffers: no position yet.
        CallHost();
        if (index == 1) m_preroll = 0;
      } else {
        m_samplePosition += m_bufferSize;
        if (m_timeInfoMode != 0) {
          CallHost();
        } else {
          // Once stop() has begun, no further bufferSwitch: a stop request
          // (1) is left standing until the next start rather than being
          // overwritten, so later events before the stop event is signalled
          // are skipped as well.
          LONG seen = 0;
          __atomic_compare_exchange_n(&m_stopRequest, &seen, static_cast<LONG>(2), false, __ATOMIC_ACQ_REL,
                                      __ATOMIC_ACQUIRE);
          if (seen == 1) {
            AsioTrace(kAsioTraceInfo, "BufferSwitchThread: stop under way, no bufferSwitch\n");
          } else if (m_callbacks != nullptr && m_callbacks->bufferSwitch != nullptr) {
            m_callbacks->bufferSwitch(static_cast<LONG>(index), ASIOTrue);
          }
        }
      }
    }
  } else if (waited == WAIT_OBJECT_0) {
    AsioTrace(kAsioTraceInfo, "BufferSwitchThread: stop event\n");
  } else if (waited == WAIT_TIMEOUT) {
    ResetRequest(m_callbacks, "no buffer-switch event within a second");
  } else {
    // A broken wait list must not make the thread spin.
    AsioTrace(kAsioTraceError, "BufferSwitchThread: wait failed (%lu)\n", static_cast<unsigned long>(GetLastError()));
    Sleep(BufferPeriodMs(m_bufferSize, m_sampleRate));
  }

  if (m_outputHeader != nullptr && AsioHeaderLoad(&m_outputHeader->streamError) != 0) {
    ResetRequest(m_callbacks, "device error in the render header");
  }
}

void CKelAsioDriver::CallHost() {
  if (m_callbacks == nullptr) return;
  if (m_timeInfoMode != 0 && m_callbacks->bufferSwitchTimeInfo != nullptr) {
    TimeInfoSwitch();
  } else if (m_callbacks->bufferSwitch != nullptr) {
    m_callbacks->bufferSwitch(static_cast<LONG>(m_bufferIndex), ASIOTrue);
  }
}

void CKelAsioDriver::TimeInfoSwitch() {
  getSamplePosition(&m_asioTime.timeInfo.samplePosition, &m_asioTime.timeInfo.systemTime);
  if (m_timeCodeRead != 0) {
    // Ten minutes of samples ahead of the position, modulo 2^32.
    const double samples = static_cast<double>(m_sampleRate) * 600.0 + m_asioTime.timeInfo.samplePosition.lo;
    m_asioTime.timeCode.timeCodeSamples.hi = 0;
    m_asioTime.timeCode.timeCodeSamples.lo = static_cast<ULONG>(static_cast<uint64_t>(samples));
  }
  m_callbacks->bufferSwitchTimeInfo(&m_asioTime, static_cast<LONG>(m_bufferIndex), ASIOTrue);
  m_asioTime.timeInfo.flags &= ~static_cast<ULONG>(kSampleRateChanged | kClockSourceChanged);
}

void CKelAsioDriver::TakeSystemTime() {
  // Milliseconds as nanoseconds, split into the stamp's two words.
  const double ns = static_cast<double>(timeGetTime()) * 1000000.0;
  const double high = static_cast<double>(static_cast<uint64_t>(ns / kTwoTo32));
  m_systemTime.hi = static_cast<ULONG>(high);
  m_systemTime.lo = static_cast<ULONG>(static_cast<uint64_t>(ns - high * kTwoTo32));
}
