// CKelAsioDriver: the process's instance slot, construction and the
// destruction order, COM forwarding, init and the configuration, the
// queries, future and controlPanel. Every IASIO method traces its entry and
// exit.
#include "asio/driver/kel_asio_driver.h"

#include <atomic>
#include <cstring>
#include <new>

#include "asio/asio_trace.h"
#include "asio/com/dll_entry.h"
#include "asio/driver/asio_driver_rules.h"

namespace {

// One driver object per process. The slot is keyed by the process id: on
// Windows the DLL has one slot per process anyway; the host build runs many
// simulated processes in one address space and gives each its own.
struct InstanceSlot {
  DWORD processId;
  CKelAsioDriver* driver;
};
constexpr int kInstanceSlots = 32;
InstanceSlot g_slots[kInstanceSlots];
std::atomic_flag g_slotLock = ATOMIC_FLAG_INIT;

class SlotLock {
 public:
  SlotLock() {
    while (g_slotLock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~SlotLock() { g_slotLock.clear(std::memory_order_release); }
  SlotLock(const SlotLock&) = delete;
  SlotLock& operator=(const SlotLock&) = delete;
};

InstanceSlot* SlotOf(DWORD processId) {
  for (InstanceSlot& slot : g_slots) {
    if (slot.driver != nullptr && slot.processId == processId) return &slot;
  }
  return nullptr;
}

constexpr char kInitTwiceText[] = "ASIO driver was initialized before this time.\n";
constexpr char kNoMemoryText[] = "Memories are not enough.\n";
constexpr char kClockName[] = "Internal";
// Hosts hand getErrorMessage a buffer of 124 characters.
constexpr size_t kHostErrorTextChars = 124;
constexpr size_t kHostNameChars = 32;

void CloseIf(HANDLE& handle) {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
}

}  // namespace

CUnknown* CKelAsioDriver::CreateInstance(IUnknown* outer, HRESULT* result) {
  AsioTraceEnter("CKelAsioDriver::CreateInstance()");
  const DWORD processId = GetCurrentProcessId();
  CKelAsioDriver* driver = nullptr;
  {
    SlotLock lock;
    if (SlotOf(processId) != nullptr) {
      AsioTrace(kAsioTraceWarning, "CKelAsioDriver::CreateInstance() Return. [the process has its instance]\n");
      return nullptr;
    }
    InstanceSlot* free = nullptr;
    for (InstanceSlot& slot : g_slots) {
      if (slot.driver == nullptr) {
        free = &slot;
        break;
      }
    }
    if (free != nullptr) driver = new (std::nothrow) CKelAsioDriver(outer);
    if (driver != nullptr) *free = InstanceSlot{processId, driver};
  }
  if (driver != nullptr && result != nullptr) *result = S_OK;
  AsioTrace(kAsioTraceVerbose, "CKelAsioDriver::CreateInstance() Return. [%p]\n", static_cast<void*>(driver));
  return driver;
}

CKelAsioDriver* CKelAsioDriver::Instance() {
  const DWORD processId = GetCurrentProcessId();
  SlotLock lock;
  InstanceSlot* slot = SlotOf(processId);
  return slot != nullptr ? slot->driver : nullptr;
}

CKelAsioDriver::CKelAsioDriver(IUnknown* outer) : CUnknown(outer) {
  AsioTraceRegister();
  AsioTraceEnter("CKelAsioDriver::CKelAsioDriver()");
  std::memset(&m_ioFormat, 0, sizeof(m_ioFormat));
  std::memset(&m_asioTime, 0, sizeof(m_asioTime));
  AsioTrace(kAsioTraceVerbose, "CKelAsioDriver::CKelAsioDriver() Return.\n");
}

CKelAsioDriver::~CKelAsioDriver() {
  AsioTraceEnter("CKelAsioDriver::~CKelAsioDriver()");
  if (m_state == kRunning) stop();
  if (m_state == kPrepared) disposeBuffers();
  // A buffer-switch thread that outlived stop's wait must be gone before
  // the object it works on is.
  for (int attempt = 0; m_bufferSwitchThread != nullptr && attempt < 10; ++attempt) StopBufferSwitchThread();
  // A stop the pins refused leaves the object Running: release its buffers anyway.
  if (m_state >= kPrepared) ReleaseBuffers();
  StopSettingsWatcher();
  m_settings.CloseEvents();
  NotifyAsioRunning(false);
  CloseIf(m_apiMutex);
  CloseIf(m_stopEvent);
  ClosePins();
  CloseIf(m_kernelEvent);
  {
    SlotLock lock;
    for (InstanceSlot& slot : g_slots) {
      if (slot.driver == this) slot = InstanceSlot{0, nullptr};
    }
  }
  AsioTrace(kAsioTraceVerbose, "CKelAsioDriver::~CKelAsioDriver() Return.\n");
  AsioTraceUnregister();
}

HRESULT STDMETHODCALLTYPE CKelAsioDriver::QueryInterface(REFIID iid, void** out) {
  return GetOwner()->QueryInterface(iid, out);
}

ULONG STDMETHODCALLTYPE CKelAsioDriver::AddRef() { return GetOwner()->AddRef(); }

ULONG STDMETHODCALLTYPE CKelAsioDriver::Release() { return GetOwner()->Release(); }

HRESULT STDMETHODCALLTYPE CKelAsioDriver::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  // Hosts ask for the class identifier itself as the interface.
  if (IsEqualGUID(iid, CLSID_KelAsioDriver)) {
    IASIO* asio = this;
    *out = asio;
    asio->AddRef();
    return S_OK;
  }
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

// --- init and the configuration ---------------------------------------------

ASIOBool CKelAsioDriver::init(void* sysHandle) {
  AsioTrace(kAsioTraceVerbose, "CKelAsioDriver::init(%p) Start.\n", sysHandle);
  if (m_state != kLoaded) {
    StringCchCopyA(m_errorText, sizeof(m_errorText), kInitTwiceText);
    AsioTrace(kAsioTraceWarning, "CKelAsioDriver::init() Return. [ASIOFalse: initialised before]\n");
    return ASIOFalse;
  }
  m_errorText[0] = 0;
  m_pendingRate = 0;
  LoadConfiguration();
  NotifyAsioRunning(false);

  m_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (m_stopEvent != nullptr) m_apiMutex = CreateMutexW(nullptr, FALSE, nullptr);
  if (m_apiMutex == nullptr || !m_settings.CreateEvents()) {
    CloseIf(m_apiMutex);
    CloseIf(m_stopEvent);
    StringCchCopyA(m_errorText, sizeof(m_errorText), kNoMemoryText);
    AsioTrace(kAsioTraceError, "CKelAsioDriver::init() Return. [ASIOFalse: events or mutex]\n");
    return ASIOFalse;
  }
  if (!StartSettingsWatcher()) {
    m_settings.CloseEvents();
    CloseIf(m_apiMutex);
    CloseIf(m_stopEvent);
    // A thread that cannot be made is the same shortage for the host's user.
    StringCchCopyA(m_errorText, sizeof(m_errorText), kNoMemoryText);
    AsioTrace(kAsioTraceError, "CKelAsioDriver::init() Return. [ASIOFalse: settings watcher]\n");
    return ASIOFalse;
  }
  m_state = kInitialized;
  AsioTrace(kAsioTraceVerbose, "CKelAsioDriver::init() Return. [ASIOTrue]\n");
  return ASIOTrue;
}

void CKelAsioDriver::LoadConfiguration() {
  AsioTraceEnter("CKelAsioDriver::LoadConfiguration()");
  std::lock_guard<std::recursive_mutex> devices(m_devicesLock);
  m_settings.Read(kAsioSettingSelected, m_selectedId, sizeof(m_selectedId));
  m_selectedId[DeviceListEntry::kTextChars - 1] = 0;  // a stored id of full length stays terminated
  m_devices.makeActiveDeviceList();
  m_devices.setCurrentSelectedByDeviceInstanceId(m_selectedId);

  if (m_devices.getCurrentSelected() != nullptr) {
    ReadDeviceSettings();
    ChangeSettings();
    LONG index = -1;
    TakeEntryRanges(m_devices.getCurrentSelectedIndex(&index) ? m_devices.getDeviceEntry(index) : nullptr);
  } else if (m_devices.EntryCount() == 0) {
    // No device at all: a configuration a host can still open and query.
    m_preferredSize = 2048;
    m_lock = 0;
    m_notify = 0;
    m_sampleRate = 44100;
    ChangeSettings();
    TakeEntryRanges(nullptr);
    std::memset(m_selectedId, 0, sizeof(m_selectedId));
  } else {
    // The stored device is gone (or none was stored): take the first one
    // and remember it.
    m_devices.setCurrentSelectedByIndex(0);
    ReadDeviceSettings();
    ChangeSettings();
    const DeviceListEntry* entry = m_devices.getDeviceEntry(0);
    TakeEntryRanges(entry);
    std::memset(m_selectedId, 0, sizeof(m_selectedId));
    if (entry != nullptr) {
      for (ULONG i = 0; i + 1 < DeviceListEntry::kTextChars && entry->instanceId[i] != 0; ++i) {
        m_selectedId[i] = entry->instanceId[i];
      }
    }
    m_settings.Write(kAsioSettingSelected, m_selectedId, sizeof(m_selectedId));
  }

  m_containerBytes = 4;
  m_containerBits = 32;
  ChangeSettings();
  AsioTrace(kAsioTraceVerbose,
            "CKelAsioDriver::LoadConfiguration() Return. [%u in / %u out, %lu - %lu Hz, rate %lu, size %lu]\n",
            m_numInputs, m_numOutputs, static_cast<unsigned long>(m_minRate), static_cast<unsigned long>(m_maxRate),
            static_cast<unsigned long>(m_sampleRate), static_cast<unsigned long>(m_preferredSize));
}

// The settings that follow the selected device; a failed read leaves the member as it was.
void CKelAsioDriver::ReadDeviceSettings() {
  UCHAR flag = 0;
  if (m_settings.Read(kAsioSettingLock, &flag, sizeof(flag)) == kSettingsOk) m_lock = flag;
  flag = 0;
  if (m_settings.Read(kAsioSettingNotify, &flag, sizeof(flag)) == kSettingsOk) m_notify = flag;
  DWORD value = 0;
  if (m_settings.Read(kAsioSettingBufferSize, &value, sizeof(value)) == kSettingsOk) m_preferredSize = value;
  if (m_settings.Read(kAsioSettingSamplingRate, &value, sizeof(value)) == kSettingsOk) m_sampleRate = value;
}

void CKelAsioDriver::TakeEntryRanges(const DeviceListEntry* entry) {
  if (entry == nullptr) {
    m_numInputs = m_numOutputs = 0;
    m_minRate = m_maxRate = 0;
    return;
  }
  const AudioRangeSummary& capture = entry->captureRange;
  const AudioRangeSummary& render = entry->renderRange;
  m_numInputs = static_cast<USHORT>(capture.channels > 0xFFFF ? 0xFFFF : capture.channels);
  m_numOutputs = static_cast<USHORT>(render.channels > 0xFFFF ? 0xFFFF : render.channels);
  if (m_numInputs > 0 && m_numOutputs > 0) {
    m_minRate = capture.minRate > render.minRate ? capture.minRate : render.minRate;
    m_maxRate = capture.maxRate < render.maxRate ? capture.maxRate : render.maxRate;
  } else if (m_numInputs > 0) {
    m_minRate = capture.minRate;
    m_maxRate = capture.maxRate;
  } else if (m_numOutputs > 0) {
    m_minRate = render.minRate;
    m_maxRate = render.maxRate;
  } else {
    m_minRate = m_maxRate = 0;
  }
}

// The latency follows the buffer in use: the host's size once buffers
// exist, before that the one size the driver offers (getBufferSize), so a
// host asking before and after createBuffers hears the same figure.
void CKelAsioDriver::ChangeSettings() {
  const ULONG frames = m_state >= kPrepared ? m_bufferSize : m_preferredSize;
  ULONG latency = 0;
  if (!asiorules::BufferLatencyMs(frames, m_sampleRate, m_sampleType, &latency)) {
    AsioTrace(kAsioTraceWarning, "CKelAsioDriver::ChangeSettings() sample type %lu: nothing changes\n",
              static_cast<unsigned long>(m_sampleType));
    return;
  }
  m_latency = latency;
  m_bufferBytes = m_bufferSize * m_containerBytes;
}

void CKelAsioDriver::NotifyAsioRunning(bool running) {
  AsioTrace(kAsioTraceVerbose, "CKelAsioDriver::NotifyAsioRunning(%d)\n", running ? 1 : 0);
  m_settings.NotifyAsioRunning(running);
}

bool CKelAsioDriver::InRateList(ULONG rate) const {
  return asiorules::RateInList(rate, m_ioFormat.FormatType == kASIODSDFormat, m_sampleType, m_minRate, m_maxRate);
}

// --- queries ----------------------------------------------------------------

void CKelAsioDriver::getDriverName(char* name) {
  AsioTraceEnter("CKelAsioDriver::getDriverName()");
  if (name != nullptr) StringCchCopyA(name, kHostNameChars, VM_ASIO_DRIVER_NAME_A);
  AsioTrace(kAsioTraceVerbose, "CKelAsioDriver::getDriverName() Return.\n");
}

LONG CKelAsioDriver::getDriverVersion() {
  AsioTraceEnter("CKelAsioDriver::getDriverVersion()");
  AsioTrace(kAsioTraceVerbose, "CKelAsioDriver::getDriverVersion() Return. [1]\n");
  return 1;
}

void CKelAsioDriver::getErrorMessage(char* string) {
  AsioTraceEnter("CKelAsioDriver::getErrorMessage()");
  if (string != nullptr) StringCchCopyA(string, kHostErrorTextChars, m_errorText);
  AsioTrace(kAsioTraceVerbose, "CKelAsioDriver::getErrorMessage() Return.\n");
}

ASIOError CKelAsioDriver::getChannels(LONG* numInputChannels, LONG* numOutputChannels) {
  static const char kName[] = "CKelAsioDriver::getChannels()";
  AsioTraceEnter(kName);
  if (m_state == kLoaded) return AsioTraceReturn(kName, ASE_NotPresent);
  if (numInputChannels == nullptr || numOutputChannels == nullptr) return AsioTraceReturn(kName, ASE_InvalidParameter);
  *numInputChannels = m_numInputs;
  *numOutputChannels = m_numOutputs;
  return AsioTraceReturn(kName, ASE_OK);
}

ASIOError CKelAsioDriver::getLatencies(LONG* inputLatency, LONG* outputLatency) {
  static const char kName[] = "CKelAsioDriver::getLatencies()";
  AsioTraceEnter(kName);
  if (m_state == kLoaded) return AsioTraceReturn(kName, ASE_NotPresent);
  if (inputLatency == nullptr || outputLatency == nullptr) return AsioTraceReturn(kName, ASE_InvalidParameter);
  const ULONG latency = m_latency;
  *inputLatency = static_cast<LONG>(latency);
  *outputLatency = asiorules::OutputLatency(m_sampleRate, latency);
  return AsioTraceReturn(kName, ASE_OK);
}

ASIOError CKelAsioDriver::getBufferSize(LONG* minSize, LONG* maxSize, LONG* preferredSize, LONG* granularity) {
  static const char kName[] = "CKelAsioDriver::getBufferSize()";
  AsioTraceEnter(kName);
  if (m_state == kLoaded) return AsioTraceReturn(kName, ASE_NotPresent);
  if (minSize == nullptr || maxSize == nullptr || preferredSize == nullptr || granularity == nullptr) {
    return AsioTraceReturn(kName, ASE_InvalidParameter);
  }
  LONG size = static_cast<LONG>(m_preferredSize);
  if (m_ioFormat.FormatType == kASIODSDFormat) {
    if (m_sampleType == ASIOSTDSDInt8NER8) return AsioTraceReturn(kName, ASE_NotPresent);
    size = static_cast<LONG>(m_preferredSize * 8);  // one-bit samples, eight to the byte
  }
  *minSize = *maxSize = *preferredSize = size;
  *granularity = 0;
  return AsioTraceReturn(kName, ASE_OK);
}

ASIOError CKelAsioDriver::canSampleRate(ASIOSampleRate sampleRate) {
  static const char kName[] = "CKelAsioDriver::canSampleRate()";
  AsioTrace(kAsioTraceVerbose, "%s Start. [%.1f]\n", kName, sampleRate);
  if (m_state == kLoaded) return AsioTraceReturn(kName, ASE_NotPresent);
  if (m_lock != 0) {
    return AsioTraceReturn(kName, sampleRate == static_cast<ASIOSampleRate>(m_sampleRate) ? ASE_OK : ASE_NoClock);
  }
  return AsioTraceReturn(kName, InRateList(asiorules::WholeRate(sampleRate)) ? ASE_OK : ASE_NoClock);
}

ASIOError CKelAsioDriver::getSampleRate(ASIOSampleRate* sampleRate) {
  static const char kName[] = "CKelAsioDriver::getSampleRate()";
  AsioTraceEnter(kName);
  if (m_state == kLoaded) return AsioTraceReturn(kName, ASE_NotPresent);
  if (sampleRate == nullptr) return AsioTraceReturn(kName, ASE_InvalidParameter);
  // A rate asked for while running is reported while the pins change over.
  const ULONG pending = m_pendingRate;
  const ULONG current = m_sampleRate;
  *sampleRate = (pending > 0 && pending != current) ? pending : current;
  return AsioTraceReturn(kName, ASE_OK);
}

ASIOError CKelAsioDriver::getClockSources(ASIOClockSource* clocks, LONG* numSources) {
  static const char kName[] = "CKelAsioDriver::getClockSources()";
  AsioTraceEnter(kName);
  if (m_state == kLoaded) return AsioTraceReturn(kName, ASE_NotPresent);
  if (clocks == nullptr || numSources == nullptr) return AsioTraceReturn(kName, ASE_InvalidParameter);
  clocks[0].index = 0;
  clocks[0].associatedChannel = -1;
  clocks[0].associatedGroup = -1;
  clocks[0].isCurrentSource = ASIOTrue;
  StringCchCopyA(clocks[0].name, sizeof(clocks[0].name), kClockName);
  *numSources = 1;
  return AsioTraceReturn(kName, ASE_OK);
}

ASIOError CKelAsioDriver::setClockSource(LONG reference) {
  static const char kName[] = "CKelAsioDriver::setClockSource()";
  AsioTrace(kAsioTraceVerbose, "%s Start. [%ld]\n", kName, static_cast<long>(reference));
  if (m_state == kLoaded || reference != 0) return AsioTraceReturn(kName, ASE_NotPresent);
  m_asioTime.timeInfo.flags |= kClockSourceChanged;
  return AsioTraceReturn(kName, ASE_OK);
}

ASIOError CKelAsioDriver::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
  static const char kName[] = "CKelAsioDriver::getSamplePosition()";
  AsioTraceEnter(kName);
  if (m_state == kLoaded) return AsioTraceReturn(kName, ASE_NotPresent);
  if (sPos == nullptr || tStamp == nullptr) return AsioTraceReturn(kName, ASE_InvalidParameter);
  *sPos = asiorules::SplitSamplePosition(m_samplePosition);
  *tStamp = m_systemTime;
  return AsioTraceReturn(kName, ASE_OK);
}

ASIOError CKelAsioDriver::getChannelInfo(ASIOChannelInfo* info) {
  static const char kName[] = "CKelAsioDriver::getChannelInfo()";
  AsioTraceEnter(kName);
  if (m_state == kLoaded) return AsioTraceReturn(kName, ASE_NotPresent);
  if (info == nullptr) return AsioTraceReturn(kName, ASE_InvalidParameter);
  const bool input = info->isInput != ASIOFalse;
  const LONG count = input ? m_numInputs : m_numOutputs;
  if (info->channel < 0 || info->channel >= count) return AsioTraceReturn(kName, ASE_InvalidParameter);

  info->type = static_cast<ASIOSampleType>(m_sampleType);
  info->channelGroup = 0;
  info->isActive = ASIOFalse;
  if (m_state != kInitialized) {
    const ULONG* used = input ? m_inputUsed : m_outputUsed;
    const ULONG active = input ? m_activeInputs : m_activeOutputs;
    if (used != nullptr && active > 0 && used[info->channel] != 0) info->isActive = ASIOTrue;
  }
  std::lock_guard<std::recursive_mutex> devices(m_devicesLock);
  CKsAudFilter2* filter = m_devices.getCurrentSelected();
  asiorules::ChannelName(filter != nullptr ? filter->FriendlyName() : nullptr, input, info->channel, info->name);
  return AsioTraceReturn(kName, ASE_OK);
}

// --- future and the control panel -------------------------------------------

ASIOError CKelAsioDriver::future(LONG selector, void* opt) {
  static const char kName[] = "CKelAsioDriver::future()";
  AsioTrace(kAsioTraceVerbose, "%s Start. [selector 0x%lx]\n", kName, static_cast<unsigned long>(selector));
  ASIOIoFormat* format = static_cast<ASIOIoFormat*>(opt);
  switch (selector) {
    case kAsioEnableTimeCodeRead:
      m_timeCodeRead = 1;
      return AsioTraceReturn(kName, ASE_SUCCESS);
    case kAsioDisableTimeCodeRead:
      m_timeCodeRead = 0;
      return AsioTraceReturn(kName, ASE_SUCCESS);
    case kAsioSetInputMonitor:
    case kAsioCanInputMonitor:
    case kAsioCanTimeInfo:
    case kAsioCanTimeCode:
      return AsioTraceReturn(kName, ASE_SUCCESS);
    case kAsioSetIoFormat: {
      if (format == nullptr) return AsioTraceReturn(kName, ASE_InvalidParameter);
      const ASIOIoFormatType type = format->FormatType;
      if (type != kASIOPCMFormat && type != kASIODSDFormat) return AsioTraceReturn(kName, ASE_InvalidParameter);
      const ASIOIoFormatType before = m_ioFormat.FormatType;
      std::memcpy(&m_ioFormat, format, sizeof(m_ioFormat));
      const bool buffersExist = m_state >= kPrepared;
      if (type == kASIOPCMFormat) {
        m_sampleType = ASIOSTInt32LSB;
        // Rebuilding the device list would destroy the filter that holds
        // the open pins; createBuffers reloads the configuration anyway.
        if (buffersExist) {
          ChangeSettings();
        } else {
          LoadConfiguration();
        }
      } else {
        m_sampleType = ASIOSTDSDInt8MSB1;
        ChangeSettings();
      }
      if (buffersExist && type != before) m_configChanged = 1;
      return AsioTraceReturn(kName, ASE_SUCCESS);
    }
    case kAsioGetIoFormat:
      if (format == nullptr) return AsioTraceReturn(kName, ASE_InvalidParameter);
      std::memcpy(format, &m_ioFormat, sizeof(m_ioFormat));
      return AsioTraceReturn(kName, ASE_SUCCESS);
    case kAsioCanDoIoFormat:
      if (format == nullptr) return AsioTraceReturn(kName, ASE_InvalidParameter);
      return AsioTraceReturn(kName, format->FormatType == kASIOPCMFormat || format->FormatType == kASIODSDFormat
                                        ? ASE_SUCCESS
                                        : ASE_InvalidParameter);
    default:
      return AsioTraceReturn(kName, ASE_InvalidParameter);
  }
}

ASIOError CKelAsioDriver::controlPanel() {
  static const char kName[] = "CKelAsioDriver::controlPanel()";
  AsioTraceEnter(kName);
  if (!SettingsStore::LaunchControlPanel(false)) {
    AsioTrace(kAsioTraceWarning, "CKelAsioDriver::controlPanel() the control panel is not installed\n");
  }
  return AsioTraceReturn(kName, ASE_OK);
}
