// start, stop, setSampleRate, changeSamplingRate and outputReady: the
// transport mode, the pins' states, the buffer-switch thread's start and
// stop, and the rate change of a running stream.
#include <cstring>

#include "asio/asio_trace.h"
#include "asio/driver/kel_asio_driver.h"
#include "asio/driver/pin_format.h"
#include "kslib/ks_audio_filter.h"
#include "kslib/ks_audio_pin.h"

namespace {

const char kStart[] = "CKelAsioDriver::start()";
const char kStop[] = "CKelAsioDriver::stop()";
const char kSetSampleRate[] = "CKelAsioDriver::setSampleRate()";
const char kOutputReady[] = "CKelAsioDriver::outputReady()";

constexpr int kPinStateAttempts = 10;

// The state word is read by the buffer-switch thread and by host calls on
// other threads without a lock.
ULONG LoadState(const volatile ULONG& state) { return __atomic_load_n(&state, __ATOMIC_ACQUIRE); }
void StoreState(volatile ULONG& state, ULONG value) { __atomic_store_n(&state, value, __ATOMIC_RELEASE); }

const char* StateName(KSSTATE state) {
  switch (state) {
    case KSSTATE_STOP:
      return "STOP";
    case KSSTATE_ACQUIRE:
      return "ACQUIRE";
    case KSSTATE_PAUSE:
      return "PAUSE";
    case KSSTATE_RUN:
      return "RUN";
  }
  return "?";
}

}  // namespace

bool CKelAsioDriver::OnBufferSwitchThread() const {
  const DWORD id = __atomic_load_n(&m_bufferSwitchThreadId, __ATOMIC_ACQUIRE);
  return id != 0 && id == ::GetCurrentThreadId();
}

ASIOError CKelAsioDriver::start() {
  AsioTraceEnter(kStart);
  if (LoadState(m_state) != kPrepared || m_callbacks == nullptr || m_configChanged != 0 ||
      m_activeInputs + m_activeOutputs == 0) {
    return AsioTraceReturn(kStart, ASE_NotPresent);
  }
  // A thread that outlived the last stop's wait is waited for once more; a
  // second thread beside it would call the host twice per switch. A start
  // from inside the host's callback runs on that thread itself: it cannot
  // wait for itself, and leaves its loop once the new thread is the
  // driver's, so only its handle is given up here.
  if (m_bufferSwitchThread != nullptr) StopBufferSwitchThread();
  if (m_bufferSwitchThread != nullptr) {
    if (OnBufferSwitchThread()) {
      ::CloseHandle(m_bufferSwitchThread);
      m_bufferSwitchThread = nullptr;
    } else {
      AsioTrace(kAsioTraceError, "start: the previous buffer-switch thread has not ended\n");
      return AsioTraceReturn(kStart, ASE_HWMalfunction);
    }
  }

  CKsAudFilter2* filter = m_devices.getCurrentSelected();
  USHORT mode = m_ioFormat.FormatType == kASIODSDFormat ? 1 : 0;
  if (filter == nullptr ||
      FAILED(filter->ApplyValue(KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_DSD_MODE, &mode, sizeof(mode)))) {
    AsioTrace(kAsioTraceError, "start: the transport mode %u was refused\n", mode);
    return AsioTraceReturn(kStart, ASE_NotPresent);
  }

  InterlockedExchange(&m_stopRequest, 0);
  NotifyAsioRunning(true);
  m_samplePosition = 0;
  m_bufferIndex = 0;
  m_lastIndex = -1;
  m_preroll = 1;
  ::ResetEvent(m_kernelEvent);
  ::ResetEvent(m_stopEvent);
  // Running before the thread exists, so its first iteration already waits
  // for the kernel instead of sleeping a period.
  StoreState(m_state, kRunning);
  StartBufferSwitchThread();
  if (m_bufferSwitchThread == nullptr) {
    // Without the thread nothing would ever call the host, not even to ask
    // for a reset: a start that cannot run is no success.
    StoreState(m_state, kPrepared);
    NotifyAsioRunning(false);
    AsioTrace(kAsioTraceError, "start: no buffer-switch thread\n");
    return AsioTraceReturn(kStart, ASE_NoMemory);
  }

  struct Step {
    CKsAudPin* pin;
    KSSTATE state;
  };
  const Step steps[] = {{m_renderPin, KSSTATE_ACQUIRE},
                        {m_capturePin, KSSTATE_ACQUIRE},
                        {m_renderPin, KSSTATE_RUN},
                        {m_capturePin, KSSTATE_RUN}};
  for (const Step& s : steps) {
    if (s.pin != nullptr && !SetPinState(s.pin, s.state)) {
      stop();
      return AsioTraceReturn(kStart, ASE_HWMalfunction);
    }
  }
  return AsioTraceReturn(kStart, ASE_OK);
}

ASIOError CKelAsioDriver::stop() {
  AsioTraceEnter(kStop);
  InterlockedExchange(&m_stopRequest, 1);
  if (m_apiMutex == nullptr) return AsioTraceReturn(kStop, ASE_NotPresent);
  // On the buffer-switch thread (a stop from inside the host's callback)
  // the mutex is only missing when a stop on another thread holds it and
  // waits for this very thread to end: that stop is doing the work, and
  // waiting for it here would stall both for its full time-out.
  const bool onSwitchThread = OnBufferSwitchThread();
  const DWORD taken = ::WaitForSingleObject(m_apiMutex, onSwitchThread ? 0 : INFINITE);
  if (taken == WAIT_TIMEOUT && onSwitchThread) {
    AsioTrace(kAsioTraceInfo, "stop: from the host's callback while another stop is under way\n");
    return AsioTraceReturn(kStop, ASE_OK);
  }
  if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) {
    AsioTrace(kAsioTraceError, "stop: the API mutex could not be taken\n");
    return AsioTraceReturn(kStop, ASE_NotPresent);
  }
  ASIOError result = ASE_NotPresent;
  if (LoadState(m_state) == kRunning) {
    ::SetEvent(m_stopEvent);
    StopBufferSwitchThread();
    // Both pins are stopped even when the first refuses.
    const bool renderStopped = m_renderPin == nullptr || SetPinState(m_renderPin, KSSTATE_STOP);
    const bool captureStopped = m_capturePin == nullptr || SetPinState(m_capturePin, KSSTATE_STOP);
    if (renderStopped && captureStopped) {
      NotifyAsioRunning(false);
      ::ResetEvent(m_stopEvent);
      StoreState(m_state, kPrepared);
      result = ASE_OK;
    } else {
      result = ASE_HWMalfunction;
    }
  }
  ::ReleaseMutex(m_apiMutex);
  return AsioTraceReturn(kStop, result);
}

ASIOError CKelAsioDriver::setSampleRate(ASIOSampleRate sampleRate) {
  AsioTraceEnter(kSetSampleRate);
  AsioTrace(kAsioTraceInfo, "setSampleRate: %.1f\n", sampleRate);
  if (LoadState(m_state) == kLoaded) return AsioTraceReturn(kSetSampleRate, ASE_NotPresent);
  if (sampleRate == 0) return AsioTraceReturn(kSetSampleRate, ASE_InvalidMode);
  // Only whole rates the device can be set to; anything else (negative,
  // fractional, beyond 32 bits) is no rate of the list.
  if (!(sampleRate >= 1.0 && sampleRate <= 4294967295.0) ||
      static_cast<double>(static_cast<ULONG>(sampleRate)) != sampleRate) {
    return AsioTraceReturn(kSetSampleRate, ASE_NoClock);
  }
  const ULONG rate = static_cast<ULONG>(sampleRate);
  if (m_lock != 0) return AsioTraceReturn(kSetSampleRate, rate == m_sampleRate ? ASE_OK : ASE_NoClock);
  if (!InRateList(rate)) return AsioTraceReturn(kSetSampleRate, ASE_NoClock);
  if (rate == m_sampleRate) return AsioTraceReturn(kSetSampleRate, ASE_OK);

  DWORD stored = rate;
  if (LoadState(m_state) == kRunning) {
    m_settings.Write(kAsioSettingSamplingRate, &stored, sizeof(stored));
    m_pendingRate = rate;
    stop();
    if (changeSamplingRate(rate)) {
      m_sampleRate = rate;
      ChangeSettings();
      if (m_timeInfoMode != 0) {
        m_asioTime.timeInfo.sampleRate = static_cast<ASIOSampleRate>(rate);
        m_asioTime.timeInfo.flags |= kSampleRateChanged;
      }
      // A stream that does not run again at the new rate must not look
      // like a successful change: the host is asked to start over.
      if (start() != ASE_OK && m_callbacks != nullptr && m_callbacks->asioMessage != nullptr) {
        m_callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
      }
    } else if (m_callbacks != nullptr && m_callbacks->asioMessage != nullptr) {
      m_callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    }
    return AsioTraceReturn(kSetSampleRate, ASE_OK);
  }
  if (LoadState(m_state) == kPrepared) m_configChanged = 1;
  m_settings.Write(kAsioSettingSamplingRate, &stored, sizeof(stored));
  m_sampleRate = rate;
  ChangeSettings();
  return AsioTraceReturn(kSetSampleRate, ASE_OK);
}

bool CKelAsioDriver::changeSamplingRate(ULONG rate) {
  AsioTraceEnter("CKelAsioDriver::changeSamplingRate()");
  AsioTrace(kAsioTraceInfo, "changeSamplingRate: %lu\n", static_cast<unsigned long>(rate));
  if (LoadState(m_state) == kRunning) {
    AsioTrace(kAsioTraceWarning, "CKelAsioDriver::changeSamplingRate() Return. [false: running]\n");
    return false;
  }
  const bool dsd = m_ioFormat.FormatType == kASIODSDFormat;
  struct Side {
    CKsAudPin* pin;
    USHORT channels;
  };
  const Side sides[] = {{m_capturePin, m_numInputs}, {m_renderPin, m_numOutputs}};
  for (const Side& s : sides) {
    if (s.pin == nullptr) continue;
    // Each pin keeps the container width it was opened with.
    const WAVEFORMATEX* last = s.pin->LastWaveFormat();
    const USHORT bits = last != nullptr ? last->wBitsPerSample : m_containerBits;
    const WAVEFORMATEXTENSIBLE format = MakePinFormat(s.channels, rate, bits, bits, dsd);
    // The kernel's refusal of the new format counts too: a pin left at the
    // old rate would stream at a rate the host was told it does not run at.
    const HRESULT hr = s.pin->ApplyWaveFormatToOpenPin(&format.Format);
    if (FAILED(hr)) {
      AsioTrace(kAsioTraceError, "changeSamplingRate(%lu): %s pin refused (0x%08lx)\n", static_cast<unsigned long>(rate),
                s.pin == m_capturePin ? "capture" : "render", static_cast<unsigned long>(hr));
      return false;
    }
  }
  AsioTrace(kAsioTraceVerbose, "CKelAsioDriver::changeSamplingRate() Return. [true]\n");
  return true;
}

ASIOError CKelAsioDriver::outputReady() {
  // Once per buffer switch: one request on the stack, no allocation (and
  // the traces format nothing unless a session listens).
  AsioTraceEnter(kOutputReady);
  CKsAudPin* pin = m_renderPin;
  if (LoadState(m_state) == kRunning && pin != nullptr) {
    const HRESULT hr = pin->ApplyQuickValue(KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_OUTPUT_READY, nullptr, 0);
    if (FAILED(hr)) AsioTrace(kAsioTraceWarning, "outputReady: refused (0x%08lx)\n", static_cast<unsigned long>(hr));
  }
  return AsioTraceReturn(kOutputReady, ASE_OK);
}

bool CKelAsioDriver::SetPinState(CKsAudPin* pin, KSSTATE state) {
  if (pin == nullptr) return false;
  for (int attempt = 0; attempt < kPinStateAttempts; ++attempt) {
    KSSTATE now = KSSTATE_STOP;
    if (SUCCEEDED(pin->ChangeState(state)) && SUCCEEDED(pin->ReadState(&now)) && now == state) return true;
  }
  AsioTrace(kAsioTraceError, "pin %lu did not reach %s\n", static_cast<unsigned long>(pin->PinId()), StateName(state));
  return false;
}

void CKelAsioDriver::ClosePins() {
  m_inputHeader = nullptr;
  m_outputHeader = nullptr;
  if (m_capturePin != nullptr) m_capturePin->ClosePin();
  if (m_renderPin != nullptr) m_renderPin->ClosePin();
  m_capturePin = nullptr;
  m_renderPin = nullptr;
}
