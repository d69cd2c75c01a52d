// createBuffers and disposeBuffers: the pins opened in the current format,
// the shared double buffers the kernel maps into this process (one block per
// pin, described back channel by channel), the buffer-switch event the
// kernel signals, and the output delay.
#include <cstdint>
#include <cstring>
#include <new>

#include "asio/asio_trace.h"
#include "asio/driver/kel_asio_driver.h"
#include "asio/driver/pin_format.h"
#include "kslib/ks_alloc.h"
#include "kslib/ks_audio_filter.h"
#include "kslib/ks_audio_pin.h"

namespace {

const char kCreateBuffers[] = "CKelAsioDriver::createBuffers()";
const char kDisposeBuffers[] = "CKelAsioDriver::disposeBuffers()";

constexpr LONG kMinBufferFrames = 64;
constexpr LONG kMaxBufferFrames = 3840;
// Output delay for a render-only stream: the render side paces itself and
// may run this far behind output ready (ms).
constexpr ULONG kRenderOnlyOutputDelayMs = 64;

bool IsDsdSampleType(ULONG type) { return type == ASIOSTDSDInt8LSB1 || type == ASIOSTDSDInt8MSB1; }

void SendResetRequest(ASIOCallbacks* callbacks) {
  if (callbacks != nullptr && callbacks->asioMessage != nullptr) {
    callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
  }
}

// The client half addresses of reply entry `k` (44-byte records in a
// 64-bit process, 28-byte ones in a 32-bit process).
void EntryHalves(const BYTE* reply, ULONG k, void* halves[2]) {
  if (sizeof(void*) == 4) {
    AsioBufferInfo32 info;
    std::memcpy(&info, reply + k * sizeof(AsioBufferInfo32), sizeof(info));
    halves[0] = reinterpret_cast<void*>(static_cast<uintptr_t>(info.clientHalf[0]));
    halves[1] = reinterpret_cast<void*>(static_cast<uintptr_t>(info.clientHalf[1]));
  } else {
    AsioBufferInfo64 info;
    std::memcpy(&info, reply + k * sizeof(AsioBufferInfo64), sizeof(info));
    halves[0] = reinterpret_cast<void*>(static_cast<uintptr_t>(info.clientHalf[0]));
    halves[1] = reinterpret_cast<void*>(static_cast<uintptr_t>(info.clientHalf[1]));
  }
}

}  // namespace

ASIOError CKelAsioDriver::createBuffers(ASIOBufferInfo* infos, LONG numChannels, LONG bufferSize,
                                        ASIOCallbacks* callbacks) {
  AsioTraceEnter(kCreateBuffers);
  AsioTrace(kAsioTraceInfo, "createBuffers: %ld channels, %ld frames\n", static_cast<long>(numChannels),
            static_cast<long>(bufferSize));
  if (m_state == kLoaded) return AsioTraceReturn(kCreateBuffers, ASE_NotPresent);
  if (infos == nullptr || callbacks == nullptr || numChannels <= 0 ||
      numChannels > static_cast<LONG>(m_numInputs) + static_cast<LONG>(m_numOutputs) || m_configChanged != 0) {
    return AsioTraceReturn(kCreateBuffers, ASE_InvalidParameter);
  }
  // A second createBuffers without disposeBuffers: reloading the
  // configuration rebuilds the device list, which would destroy the open
  // pins under the running stream. Running buffers are refused; prepared
  // ones are given back first.
  if (m_state == kRunning) return AsioTraceReturn(kCreateBuffers, ASE_InvalidMode);
  if (m_state == kPrepared) disposeBuffers();

  // Held until the callbacks are kept: a settings change the watcher sees
  // meanwhile then asks the host to reset instead of re-selecting the
  // device under the pins being opened.
  std::lock_guard<std::recursive_mutex> devices(m_devicesLock);
  LoadConfiguration();

  LONG size = bufferSize;
  if (IsDsdSampleType(m_sampleType)) {
    // The host counts DSD samples (bits); the channel works in bytes.
    if (size % 32 != 0) return AsioTraceReturn(kCreateBuffers, ASE_InvalidParameter);
    size /= 8;
  }
  m_pendingRate = 0;
  if (size < kMinBufferFrames || size > kMaxBufferFrames) {
    SendResetRequest(callbacks);
    return AsioTraceReturn(kCreateBuffers, ASE_InvalidMode);
  }

  m_bufferSize = static_cast<ULONG>(size);
  m_bufferBytes = m_bufferSize * m_containerBytes;
  m_activeInputs = 0;
  m_activeOutputs = 0;
  m_inputUsed = kslib::AllocationRefused() ? nullptr : new (std::nothrow) ULONG[m_numInputs + 1]();
  m_outputUsed = kslib::AllocationRefused() ? nullptr : new (std::nothrow) ULONG[m_numOutputs + 1]();
  if (m_inputUsed == nullptr || m_outputUsed == nullptr) {
    ReleaseBuffers();
    return AsioTraceReturn(kCreateBuffers, ASE_NoMemory);
  }

  for (LONG i = 0; i < numChannels; ++i) {
    const bool input = infos[i].isInput != ASIOFalse;
    const LONG channel = infos[i].channelNum;
    const LONG count = input ? m_numInputs : m_numOutputs;
    ULONG* used = input ? m_inputUsed : m_outputUsed;
    if (channel < 0 || channel >= count || used[channel] != 0) {
      AsioTrace(kAsioTraceWarning, "createBuffers: %s channel %ld refused (of %ld, or named twice)\n",
                input ? "input" : "output", static_cast<long>(channel), static_cast<long>(count));
      ReleaseBuffers();
      return AsioTraceReturn(kCreateBuffers, ASE_InvalidMode);
    }
    used[channel] = 1;
    ++(input ? m_activeInputs : m_activeOutputs);
  }

  bool ok = true;
  if (m_activeInputs > 0) {
    m_capturePin = OpenPin(true);
    ok = m_capturePin != nullptr;
    if (ok) {
      m_inputHeader = CreateSharedBuffers(m_capturePin, infos, numChannels, true, m_activeInputs);
      ok = m_inputHeader != nullptr;
    }
  }
  if (ok && m_activeOutputs > 0) {
    m_renderPin = OpenPin(false);
    ok = m_renderPin != nullptr;
    if (ok) {
      m_outputHeader = CreateSharedBuffers(m_renderPin, infos, numChannels, false, m_activeOutputs);
      ok = m_outputHeader != nullptr;
    }
    // outputReady runs once per buffer switch: its request must not allocate.
    if (ok) ok = SUCCEEDED(m_renderPin->PrepareQuickRequests());
  }
  if (ok) {
    // One auto-reset event; the capture side paces the switches when it runs.
    m_kernelEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ok = m_kernelEvent != nullptr;
    if (ok) {
      CKsAudPin* eventPin = m_capturePin != nullptr ? m_capturePin : m_renderPin;
      HANDLE handle = m_kernelEvent;
      ok = SUCCEEDED(eventPin->ApplyValue(KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_SET_EVENT, nullptr, 0, &handle,
                                          sizeof(handle)));
      if (!ok) AsioTrace(kAsioTraceError, "createBuffers: the buffer-switch event was refused\n");
    }
  }
  if (ok && m_renderPin != nullptr) {
    ULONG delayMs = kRenderOnlyOutputDelayMs;
    if (m_capturePin != nullptr && m_sampleRate != 0) {
      const double ms = static_cast<double>(m_bufferSize) * 1000.0 / static_cast<double>(m_sampleRate) + 0.5;
      delayMs = static_cast<ULONG>(ms);
      if (delayMs < 2) delayMs = 2;
    }
    ok = SUCCEEDED(m_renderPin->ApplyValue(KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_OUTPUT_DELAY, nullptr, 0, &delayMs,
                                           sizeof(delayMs)));
    if (!ok) AsioTrace(kAsioTraceError, "createBuffers: the output delay was refused\n");
  }
  if (!ok) {
    // The host must not keep addresses of blocks that are gone.
    for (LONG i = 0; i < numChannels; ++i) infos[i].buffers[0] = infos[i].buffers[1] = nullptr;
    ReleaseBuffers();
    return AsioTraceReturn(kCreateBuffers, ASE_NoMemory);
  }

  m_callbacks = callbacks;
  std::memset(&m_asioTime, 0, sizeof(m_asioTime));
  m_timeInfoMode = 0;
  if (callbacks->asioMessage != nullptr && callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0) {
    m_timeInfoMode = 1;
    m_asioTime.timeInfo.speed = 1.0;
    m_asioTime.timeInfo.sampleRate = static_cast<ASIOSampleRate>(m_sampleRate);
    m_asioTime.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
    m_asioTime.timeCode.speed = 1.0;
    m_asioTime.timeCode.flags = kTcValid | kTcRunning;
  }
  m_waitList[0] = m_stopEvent;
  m_waitList[1] = m_kernelEvent;
  m_state = kPrepared;
  ChangeSettings();  // the latencies now follow the host's buffer size
  return AsioTraceReturn(kCreateBuffers, ASE_OK);
}

ASIOError CKelAsioDriver::disposeBuffers() {
  AsioTraceEnter(kDisposeBuffers);
  if (m_state != kPrepared) return AsioTraceReturn(kDisposeBuffers, ASE_NotPresent);
  // A thread that outlived stop's wait (or the stop came from its own
  // callback) must be gone before the blocks it reads are unmapped; on the
  // thread itself this returns at once and its loop ends after the callback.
  if (m_bufferSwitchThread != nullptr) StopBufferSwitchThread();
  m_callbacks = nullptr;
  m_waitList[0] = nullptr;
  m_waitList[1] = nullptr;
  std::memset(&m_asioTime, 0, sizeof(m_asioTime));
  ReleaseBuffers();
  m_timeInfoMode = 0;
  m_configChanged = 0;
  m_state = kInitialized;
  ChangeSettings();
  return AsioTraceReturn(kDisposeBuffers, ASE_OK);
}

CKsAudPin* CKelAsioDriver::OpenPin(bool capture) {
  CKsAudFilter2* filter = m_devices.getCurrentSelected();
  if (filter == nullptr) return nullptr;
  const bool dsd = m_ioFormat.FormatType == kASIODSDFormat;
  const USHORT channels = capture ? m_numInputs : m_numOutputs;
  // 32-bit containers first; a device without them gets 24-bit ones. DSD
  // frames are always 32-bit words.
  USHORT bits = kPinContainerWide;
  for (int attempt = 0; attempt < (dsd ? 1 : 2); ++attempt, bits = OtherContainerWidth(bits)) {
    const WAVEFORMATEXTENSIBLE format = MakePinFormat(channels, m_sampleRate, bits, bits, dsd);
    CKsAudPin* pin = capture ? filter->OpenCapturePinFor(&format.Format) : filter->OpenRenderPinFor(&format.Format);
    if (pin != nullptr) {
      m_containerBits = format.Format.wBitsPerSample;
      m_containerBytes = static_cast<USHORT>(m_containerBits / 8);
      m_bufferBytes = m_bufferSize * m_containerBytes;
      AsioTrace(kAsioTraceInfo, "%s pin open: %u channels, %lu Hz, %u-bit containers\n", capture ? "capture" : "render",
                channels, static_cast<unsigned long>(format.Format.nSamplesPerSec), m_containerBits);
      return pin;
    }
    AsioTrace(kAsioTraceWarning, "%s pin refused %u-bit containers\n", capture ? "capture" : "render", bits);
  }
  return nullptr;
}

AsioSharedHeader* CKelAsioDriver::CreateSharedBuffers(CKsAudPin* pin, ASIOBufferInfo* infos, LONG numInfos,
                                                      bool inputs, ULONG count) {
  if (pin == nullptr || count == 0) return nullptr;
  // count, frames of both halves, then (sampleType, channel) per entry; the
  // request carries 16 bytes per entry, the surplus zero.
  const ULONG requestBytes = 16 * count;
  ULONG* request = reinterpret_cast<ULONG*>(kslib::AllocateBlock(requestBytes));
  if (request == nullptr) return nullptr;
  request[0] = count;
  request[1] = 2 * m_bufferSize;
  ULONG entry = 0;
  for (LONG i = 0; i < numInfos && entry < count; ++i) {
    if ((infos[i].isInput != ASIOFalse) != inputs) continue;
    request[2 + 2 * entry] = m_sampleType;
    request[3 + 2 * entry] = static_cast<ULONG>(infos[i].channelNum);
    ++entry;
  }
  HRESULT hr = pin->ApplyValue(KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_BUFFERS, nullptr, 0, request, requestBytes);
  kslib::FreeBlock(request);
  if (FAILED(hr)) {
    AsioTrace(kAsioTraceError, "createBuffers: SET buffers refused (0x%08lx)\n", static_cast<unsigned long>(hr));
    return nullptr;
  }

  const ULONG entryBytes = sizeof(void*) == 4 ? sizeof(AsioBufferInfo32) : sizeof(AsioBufferInfo64);
  const ULONG replyBytes = entryBytes * count;
  BYTE* reply = kslib::AllocateBlock(replyBytes);
  if (reply == nullptr) return nullptr;
  DWORD got = 0;
  hr = pin->QueryValue(KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_BUFFERS, reply, replyBytes, nullptr, 0, &got);
  if (FAILED(hr) || got < replyBytes) {
    AsioTrace(kAsioTraceError, "createBuffers: GET buffers failed (0x%08lx, %lu bytes)\n",
              static_cast<unsigned long>(hr), static_cast<unsigned long>(got));
    kslib::FreeBlock(reply);
    return nullptr;
  }
  AsioSharedHeader* header = nullptr;
  entry = 0;
  bool complete = true;
  for (LONG i = 0; i < numInfos && entry < count; ++i) {
    if ((infos[i].isInput != ASIOFalse) != inputs) continue;
    void* halves[2];
    EntryHalves(reply, entry, halves);
    if (halves[0] == nullptr || halves[1] == nullptr) complete = false;
    infos[i].buffers[0] = halves[0];
    infos[i].buffers[1] = halves[1];
    if (entry == 0 && halves[0] != nullptr) {
      header = reinterpret_cast<AsioSharedHeader*>(static_cast<BYTE*>(halves[0]) - ASIO_SHARED_HEADER_BYTES);
    }
    ++entry;
  }
  kslib::FreeBlock(reply);
  if (!complete || entry != count) {
    AsioTrace(kAsioTraceError, "createBuffers: the kernel described a channel without halves\n");
    return nullptr;
  }
  return header;
}

void CKelAsioDriver::ReleaseBuffers() {
  // Closing a pin releases the kernel's block, its mapping and its
  // reference on the event; the event handle is ours to close.
  ClosePins();
  if (m_kernelEvent != nullptr) ::CloseHandle(m_kernelEvent);
  m_kernelEvent = nullptr;
  delete[] m_inputUsed;
  delete[] m_outputUsed;
  m_inputUsed = nullptr;
  m_outputUsed = nullptr;
  m_activeInputs = 0;
  m_activeOutputs = 0;
}
