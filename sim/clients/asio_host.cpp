#include "sim/clients/asio_host.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "asio/asio_trace.h"
#include "asio/com/dll_entry.h"
#include "asio/settings/settings_store.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// The host whose callbacks the driver is calling (callbacks carry no context).
std::atomic<AsioHost*> g_current{nullptr};

void CallbackBufferSwitch(LONG index, ASIOBool) {
  if (AsioHost* host = g_current.load()) host->OnSwitch(index, nullptr);
}

ASIOTime* CallbackBufferSwitchTimeInfo(ASIOTime* params, LONG index, ASIOBool) {
  if (AsioHost* host = g_current.load()) host->OnSwitch(index, params);
  return nullptr;
}

void CallbackRateChanged(ASIOSampleRate) {
  if (AsioHost* host = g_current.load()) host->OnRateChange();
}

LONG CallbackMessage(LONG selector, LONG value, void*, double*) {
  AsioHost* host = g_current.load();
  return host != nullptr ? host->OnMessage(selector, value) : 0;
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

uint64_t Words(ULONG hi, ULONG lo) { return (uint64_t{hi} << 32) | lo; }

// Text of the registry (WCHAR is 16 bits here, so std::u16string, not std::wstring).
std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

const WCHAR* W(const std::u16string& text) { return reinterpret_cast<const WCHAR*>(text.c_str()); }

std::string ErrorText(ASIOError error) {
  char text[64];
  std::snprintf(text, sizeof text, "%s (%d)", AsioErrorName(error), static_cast<int>(error));
  return text;
}

// A REG_SZ value, whether or not it was stored with its terminator.
bool ReadString(HKEY key, const WCHAR* name, std::u16string* out) {
  DWORD type = 0;
  DWORD bytes = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_SZ) return false;
  std::vector<char16_t> text(bytes / sizeof(char16_t) + 1, 0);
  DWORD got = bytes;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &got) != ERROR_SUCCESS)
    return false;
  size_t n = 0;
  while (n < got / sizeof(char16_t) && text[n] != 0) ++n;
  out->assign(text.data(), n);
  return true;
}

}  // namespace

AsioHost::AsioHost(AsioHostOptions options) : options_(std::move(options)) {
  callbacks_.bufferSwitch = &CallbackBufferSwitch;
  callbacks_.sampleRateDidChange = &CallbackRateChanged;
  callbacks_.asioMessage = &CallbackMessage;
  callbacks_.bufferSwitchTimeInfo = &CallbackBufferSwitchTimeInfo;
}

AsioHost::~AsioHost() { Finish(); }

bool AsioHost::Start() {
  AsioHost* none = nullptr;
  if (!g_current.compare_exchange_strong(none, this)) return Fail("another ASIO host is running in this process");
  records_.assign(options_.recordCapacity, AsioSwitchRecord{});
  process_ = platform::CreateClientProcess("asio host");
  control_ = std::thread([this] { ControlThread(); });
  std::unique_lock<std::mutex> lock(lock_);
  wake_.wait(lock, [this] { return started_; });
  return startOk_;
}

void AsioHost::Finish() {
  if (control_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(lock_);
      finishRequested_ = true;
    }
    wake_.notify_all();
    control_.join();
  }
  if (process_ != nullptr) {
    platform::EndClientProcess(process_);
    process_ = nullptr;
  }
  AsioHost* self = this;
  g_current.compare_exchange_strong(self, nullptr);
}

bool AsioHost::Fail(const std::string& what) {
  if (error_.empty()) error_ = what;
  return false;
}

void AsioHost::ControlThread() {
  platform::ProcessScope in(process_);
  CoInitialize(nullptr);  // hosts call the driver from an apartment thread
  const bool ok = FindDriver() && OpenGeneration(true);
  {
    std::lock_guard<std::mutex> lock(lock_);
    started_ = true;
    startOk_ = ok;
  }
  wake_.notify_all();
  while (ok) {
    {
      std::unique_lock<std::mutex> lock(lock_);
      wake_.wait(lock, [this] { return finishRequested_ || resetPending_.load(); });
      if (finishRequested_) break;
    }
    // A reset: everything from the stop to a running new instance, here and
    // never inside the callback that asked.
    CloseGeneration();
    resetPending_ = false;  // the old instance's requests are answered by this reset
    error_.clear();
    const bool reopened = OpenGeneration(false);
    reopenError_ = reopened ? "" : error_;
    // Nothing runs that a request made during the failed set-up could reset.
    if (!reopened) resetPending_ = false;
    resetsDone_++;
    wake_.notify_all();
  }
  CloseGeneration();
  if (factory_ != nullptr) factory_->Release();
  factory_ = nullptr;
  if (module_ != nullptr) FreeLibrary(module_);
  module_ = nullptr;
  CoUninitialize();
}

bool AsioHost::FindDriver() {
  HKEY asio = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", 0, KEY_READ, &asio) != ERROR_SUCCESS)
    return Fail("no ASIO driver is installed (HKLM\\SOFTWARE\\ASIO is missing)");
  std::u16string clsidText;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD length = 256;
    if (RegEnumKeyExW(asio, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY driver = nullptr;
    if (RegOpenKeyExW(asio, name, 0, KEY_READ, &driver) != ERROR_SUCCESS) continue;
    std::u16string clsid;
    std::u16string description;
    const bool hasClsid = ReadString(driver, L"CLSID", &clsid);
    if (!ReadString(driver, L"Description", &description))
      description.assign(reinterpret_cast<const char16_t*>(name));  // hosts fall back to the key's name
    RegCloseKey(driver);
    if (hasClsid && description == u"" VM_ASIO_DRIVER_NAME_A) {
      clsidText = clsid;
      description_ = Narrow(description);
      break;
    }
  }
  RegCloseKey(asio);
  if (clsidText.empty()) return Fail("no ASIO driver described as \"" VM_ASIO_DRIVER_NAME_A "\" with a CLSID");
  if (FAILED(CLSIDFromString(W(clsidText), &clsid_))) return Fail("the ASIO key's CLSID is malformed");
  HKEY server = nullptr;
  const std::u16string serverKey = u"CLSID\\" + clsidText + u"\\InprocServer32";
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, W(serverKey), 0, KEY_READ, &server) != ERROR_SUCCESS)
    return Fail("HKCR\\" + Narrow(serverKey) + " is missing");
  std::u16string path;
  const bool hasPath = ReadString(server, nullptr, &path);
  RegCloseKey(server);
  if (!hasPath || path.empty()) return Fail("InprocServer32 names no DLL");
  dllPath_ = Narrow(path);
  module_ = LoadLibraryW(W(path));
  if (module_ == nullptr) return Fail("LoadLibraryW(" + dllPath_ + ") failed");
  typedef HRESULT(STDAPICALLTYPE * GetClassObject)(REFCLSID, REFIID, LPVOID*);
  const auto get = reinterpret_cast<GetClassObject>(
      reinterpret_cast<void (*)()>(GetProcAddress(module_, "DllGetClassObject")));
  if (get == nullptr) return Fail("the DLL exports no DllGetClassObject");
  void* factory = nullptr;
  const HRESULT hr = get(clsid_, IID_IClassFactory, &factory);
  if (FAILED(hr) || factory == nullptr) {
    char text[80];
    std::snprintf(text, sizeof text, "DllGetClassObject failed: 0x%08X", static_cast<unsigned>(hr));
    return Fail(text);
  }
  factory_ = static_cast<IClassFactory*>(factory);
  return true;
}

bool AsioHost::OpenGeneration(bool first) {
  if (first && options_.bufferSize != 0) {
    // The driver offers only its stored size: store ours first, as the
    // control panel would (the first read creates the key with defaults).
    SettingsStore store;
    DWORD scratch[64] = {};
    store.Read(1, scratch, sizeof scratch);
    const DWORD size = options_.bufferSize;
    store.Write(1, &size, sizeof size);
  }
  void* made = nullptr;
  const HRESULT hr = factory_->CreateInstance(nullptr, clsid_, &made);
  if (FAILED(hr) || made == nullptr) {
    char text[80];
    std::snprintf(text, sizeof text, "CreateInstance failed: 0x%08X", static_cast<unsigned>(hr));
    return Fail(text);
  }
  driver_ = static_cast<IASIO*>(made);
  IASIO* d = driver_;
  if (first && options_.callsOutOfOrder) CheckCallOrder(d);
  if (d->init(nullptr) != ASIOTrue) {
    char text[128] = {};
    d->getErrorMessage(text);
    text[sizeof text - 1] = 0;
    CloseGeneration();
    return Fail(std::string("init failed: ") + text);
  }
  initialized_ = true;
  if (first) {
    char name[64] = {};
    d->getDriverName(name);
    name[sizeof name - 1] = 0;
    driverName_ = name;
    driverVersion_ = d->getDriverVersion();
  }
  LONG inputs = 0;
  LONG outputs = 0;
  ASIOError e = d->getChannels(&inputs, &outputs);
  if (first) {
    driverInputs_ = inputs;
    driverOutputs_ = outputs;
  }
  if (e != ASE_OK || (inputs == 0 && outputs == 0)) {
    CloseGeneration();
    return Fail("the driver has no channels (getChannels: " + ErrorText(e) + "): no device");
  }
  if (first && options_.callsOutOfOrder) CheckInitializedOrder(d);
  const LONG wantIn = options_.inputs >= 0 ? options_.inputs : (options_.dsd ? 0 : inputs);
  const LONG wantOut = options_.outputs >= 0 ? options_.outputs : outputs;
  if (wantIn > inputs || wantOut > outputs) {
    char text[128];
    std::snprintf(text, sizeof text, "asked for %d inputs and %d outputs; the driver has %d and %d",
                  static_cast<int>(wantIn), static_cast<int>(wantOut), static_cast<int>(inputs),
                  static_cast<int>(outputs));
    CloseGeneration();
    return Fail(text);
  }
  const ASIOSampleRate rate = options_.dsd ? 2822400.0 : static_cast<ASIOSampleRate>(options_.rate);
  if (options_.dsd) {
    ASIOIoFormat format{};
    format.FormatType = kASIODSDFormat;
    if ((e = d->future(kAsioCanDoIoFormat, &format)) != ASE_SUCCESS ||
        (e = d->future(kAsioSetIoFormat, &format)) != ASE_SUCCESS) {
      CloseGeneration();
      return Fail("the driver refuses the DSD format: " + ErrorText(e));
    }
  }
  if ((e = d->canSampleRate(rate)) != ASE_OK) {
    CloseGeneration();
    return Fail(std::to_string(static_cast<long long>(rate)) + " Hz refused: " + ErrorText(e));
  }
  ASIOSampleRate current = 0;
  d->getSampleRate(&current);
  if (current != rate && (e = d->setSampleRate(rate)) != ASE_OK) {
    CloseGeneration();
    return Fail("setSampleRate failed: " + ErrorText(e));
  }
  LONG minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
  if ((e = d->getBufferSize(&minSize, &maxSize, &preferred, &granularity)) != ASE_OK || preferred <= 0) {
    CloseGeneration();
    return Fail("getBufferSize failed: " + ErrorText(e));
  }

  AsioGeneration g;
  g.number = static_cast<uint32_t>(generations_.size());
  g.dsd = options_.dsd;
  g.bufferSize = preferred;
  g.halfBytes = options_.dsd ? static_cast<uint32_t>(preferred) / 8 : static_cast<uint32_t>(preferred) * 4;
  g.halfFrames = options_.dsd ? g.halfBytes / 4 : static_cast<uint32_t>(preferred);
  const ASIOSampleType wanted = options_.dsd ? ASIOSTDSDInt8MSB1 : ASIOSTInt32LSB;
  infos_.clear();
  for (LONG c = 0; c < wantIn + wantOut; ++c) {
    const bool input = c < wantIn;
    const LONG channel = input ? c : c - wantIn;
    ASIOChannelInfo info{};
    info.channel = channel;
    info.isInput = input ? ASIOTrue : ASIOFalse;
    if ((e = d->getChannelInfo(&info)) != ASE_OK || info.type != wanted) {
      CloseGeneration();
      return Fail("getChannelInfo: " + ErrorText(e) + ", sample type " + std::to_string(info.type));
    }
    info.name[sizeof info.name - 1] = 0;
    g.channelNames.push_back(info.name);
    g.sampleType = info.type;
    (input ? g.inputChannels : g.outputChannels).push_back(channel);
    ASIOBufferInfo b{};
    b.isInput = info.isInput;
    b.channelNum = channel;
    infos_.push_back(b);
  }
  if ((e = d->createBuffers(infos_.data(), static_cast<LONG>(infos_.size()), preferred, &callbacks_)) != ASE_OK) {
    CloseGeneration();
    return Fail("createBuffers(" + std::to_string(preferred) + ") failed: " + ErrorText(e));
  }
  prepared_ = true;
  d->getLatencies(&g.inputLatency, &g.outputLatency);
  d->getSampleRate(&g.sampleRate);
  generation_ = g;
  {
    std::lock_guard<std::mutex> lock(lock_);
    generations_.push_back(g);
  }
  Prepare();
  if (onGeneration) onGeneration(generation_);
  active_ = d;
  stopped_ = false;
  if ((e = d->start()) != ASE_OK) {
    CloseGeneration();
    return Fail("start failed: " + ErrorText(e));
  }
  driverRunning_ = true;
  running_ = true;
  if (first && options_.callsOutOfOrder) CheckRunningOrder(d);
  return true;
}

// Per generation: the signal starts again from its first frame and the
// input check from the next half; nothing is allocated after this.
void AsioHost::Prepare() {
  lastIndex_ = -1;
  prerollDone_ = false;
  lastPosition_ = 0;
  outputBlock_ = 0;
  positionStep_ = static_cast<uint64_t>(generation_.dsd ? generation_.halfBytes : generation_.halfFrames);
  inputHalves_.assign(generation_.inputChannels.size(), nullptr);
  if (inputCheck_ && !inputCheck_->Continuous() && inputResult_.empty()) inputResult_ = InputMismatchOf(*inputCheck_);
  inputCheck_.reset();
  if (!generation_.inputChannels.empty() && options_.captureFormat) {
    LowLatencyCaptureLayout layout = options_.captureFormat();
    layout.entryChannels.assign(generation_.inputChannels.begin(), generation_.inputChannels.end());
    layout.halfFrames = generation_.halfFrames;
    inputCheck_ = std::make_unique<LowLatencyInputCheck>(layout);
  }
}

void AsioHost::CloseGeneration() {
  IASIO* d = driver_;
  if (d == nullptr) return;
  if (driverRunning_) {
    const Clock::time_point begin = Clock::now();
    d->stop();
    lastStopMs_ = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    stopped_ = true;
    wake_.notify_all();
    if (options_.callsOutOfOrder && d->stop() != ASE_NotPresent) orderViolations_.push_back("stop twice: not refused");
  }
  if (prepared_) d->disposeBuffers();
  d->Release();
  driver_ = nullptr;
  active_ = nullptr;
  driverRunning_ = false;
  prepared_ = false;
  initialized_ = false;
  running_ = false;
}

// A fresh instance, not initialised: everything but init is refused.
void AsioHost::CheckCallOrder(IASIO* d) {
  auto expect = [this](const char* call, ASIOError got, ASIOError want) {
    if (got != want) orderViolations_.push_back(std::string(call) + " returned " + ErrorText(got) + ", not " + ErrorText(want));
  };
  LONG a = 0, b = 0, c = 0, g = 0;
  expect("start before init", d->start(), ASE_NotPresent);
  expect("stop before init", d->stop(), ASE_NotPresent);
  expect("getChannels before init", d->getChannels(&a, &b), ASE_NotPresent);
  expect("getBufferSize before init", d->getBufferSize(&a, &b, &c, &g), ASE_NotPresent);
  expect("setSampleRate before init", d->setSampleRate(48000), ASE_NotPresent);
  ASIOBufferInfo info{};
  info.isInput = ASIOFalse;
  expect("createBuffers before init", d->createBuffers(&info, 1, 256, &callbacks_), ASE_NotPresent);
  expect("disposeBuffers before init", d->disposeBuffers(), ASE_NotPresent);
}

// Initialised, no buffers yet.
void AsioHost::CheckInitializedOrder(IASIO* d) {
  auto expect = [this](const char* call, ASIOError got, ASIOError want) {
    if (got != want) orderViolations_.push_back(std::string(call) + " returned " + ErrorText(got) + ", not " + ErrorText(want));
  };
  expect("start before createBuffers", d->start(), ASE_NotPresent);
  expect("stop before start", d->stop(), ASE_NotPresent);
  expect("disposeBuffers before createBuffers", d->disposeBuffers(), ASE_NotPresent);
  if (d->init(nullptr) != ASIOFalse) orderViolations_.push_back("a second init succeeded");
}

void AsioHost::CheckRunningOrder(IASIO* d) {
  if (d->start() != ASE_NotPresent) orderViolations_.push_back("start while running: not refused");
}

LONG AsioHost::OnMessage(LONG selector, LONG value) {
  switch (selector) {
    case kAsioSelectorSupported:
      return value == kAsioResetRequest || value == kAsioEngineVersion || value == kAsioResyncRequest ||
                     value == kAsioLatenciesChanged || value == kAsioSupportsTimeInfo ||
                     value == kAsioBufferSizeChange
                 ? 1
                 : 0;
    case kAsioEngineVersion:
      return 2;
    case kAsioResetRequest:
    case kAsioBufferSizeChange:
      // Remembered only: the control thread does the work. (Never on the
      // audio path's hot loop; the lock makes the wake-up certain.)
      resetRequests_++;
      {
        std::lock_guard<std::mutex> lock(lock_);
        resetPending_ = true;
      }
      wake_.notify_all();
      return 1;
    case kAsioResyncRequest:
      resyncRequests_++;
      return 1;
    case kAsioLatenciesChanged:
      latencyChanges_++;
      return 1;
    case kAsioSupportsTimeInfo:
      return options_.timeInfo ? 1 : 0;
    case kAsioOverload:
      overloads_++;
      return 0;
    default:
      return 0;
  }
}

void AsioHost::OnRateChange() { rateChanges_++; }

void AsioHost::OnSwitch(LONG index, ASIOTime* params) {
  const int64_t now = NowNs();
  if (stopped_.load()) switchesAfterStop_++;
  if (blockNext_.exchange(false)) {
    std::unique_lock<std::mutex> lock(blockLock_);
    blocked_ = true;
    blockWake_.notify_all();
    blockWake_.wait(lock, [this] { return blockReleased_; });
    blocked_ = false;
    blockReleased_ = false;
    // Held past the stop: the buffers may be gone, as a host that notices
    // its stop knows.
    if (stopped_.load()) return;
  }
  if (const uint32_t ms = slowMs_.exchange(0)) {
    slowCallbacks_++;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  IASIO* d = active_.load();
  if (d == nullptr || index < 0 || index > 1) return;
  const auto half = static_cast<uint32_t>(index);
  if ((params != nullptr) != options_.timeInfo) unexpectedTimeInfo_++;
  if (params != nullptr) timeInfoSwitches_++;
  if (lastIndex_ == index) sameIndex_++;
  lastIndex_ = index;
  if (!generation_.inputChannels.empty()) TakeInput(half);
  if (!generation_.outputChannels.empty()) {
    FillOutput(half);
    if (d->outputReady() != ASE_OK) outputReadyErrors_++;
  }
  Record(index, params, now, d);
  switches_++;
  wake_.notify_all();
}

void AsioHost::Record(LONG index, ASIOTime* params, int64_t hostNs, IASIO* d) {
  uint64_t position = 0;
  uint64_t stamp = 0;
  if (params != nullptr) {
    position = Words(params->timeInfo.samplePosition.hi, params->timeInfo.samplePosition.lo);
    stamp = Words(params->timeInfo.systemTime.hi, params->timeInfo.systemTime.lo);
  } else {
    ASIOSamples samples{};
    ASIOTimeStamp time{};
    d->getSamplePosition(&samples, &time);
    position = Words(samples.hi, samples.lo);
    stamp = Words(time.hi, time.lo);
  }
  // Zero through the preroll (the first switch of each half), then one
  // buffer per switch.
  if (!prerollDone_) {
    if (position != 0) positionErrors_++;
    if (index == 1) prerollDone_ = true;
  } else {
    const uint64_t step = positionStep_ != 0 ? positionStep_ : 1;
    const uint64_t delta = position - lastPosition_;
    if (position > lastPosition_ && delta > step && delta % step == 0) {
      positionJumps_ += delta / step - 1;
    } else if (delta != step) {
      positionErrors_++;
    }
  }
  lastPosition_ = position;
  const size_t at = recordCount_.load(std::memory_order_relaxed);
  if (at >= records_.size()) {
    recordsDropped_++;
    return;
  }
  AsioSwitchRecord& r = records_[at];
  r.generation = generation_.number;
  r.index = static_cast<uint32_t>(index);
  r.timeInfo = params != nullptr;
  r.samplePosition = position;
  r.systemTimeNs = stamp;
  r.hostNs = hostNs;
  r.deviceFrames = options_.deviceFramesOutput ? options_.deviceFramesOutput() : 0;
  recordCount_.store(at + 1, std::memory_order_release);
}

void AsioHost::FillOutput(uint32_t index) {
  const size_t first = generation_.inputChannels.size();
  const auto entries = static_cast<uint32_t>(generation_.outputChannels.size());
  for (uint32_t e = 0; e < entries; ++e) {
    auto* half = static_cast<uint8_t*>(infos_[first + e].buffers[index]);
    if (half == nullptr) continue;
    if (generation_.dsd) {
      const uint64_t start = outputBlock_ * generation_.halfBytes;
      for (uint32_t b = 0; b < generation_.halfBytes; ++b) half[b] = LowLatencyDsdByte(start + b, e);
    } else {
      const uint64_t start = outputBlock_ * generation_.halfFrames;
      for (uint32_t f = 0; f < generation_.halfFrames; ++f) {
        const uint32_t s = LowLatencyPcmSample(start + f, e, entries);
        std::memcpy(half + 4 * f, &s, 4);
      }
    }
  }
  outputBlock_++;
}

void AsioHost::TakeInput(uint32_t index) {
  for (size_t e = 0; e < inputHalves_.size(); ++e)
    inputHalves_[e] = static_cast<const int32_t*>(infos_[e].buffers[index]);
  inputSeen_ = true;
  if (inputCheck_) inputCheck_->Take(inputHalves_);
}

std::string AsioHost::InputMismatchOf(const LowLatencyInputCheck& check) {
  if (check.Halves() == 0) return "";
  char text[160];
  std::snprintf(text, sizeof text, "input half %llu frame %llu: 0x%08X, expected 0x%08X",
                static_cast<unsigned long long>(check.FirstMismatchHalf()),
                static_cast<unsigned long long>(check.FirstMismatchFrame()), check.MismatchGot(),
                check.MismatchWanted());
  return text;
}

bool AsioHost::InputContinuous() const {
  std::lock_guard<std::mutex> lock(lock_);
  if (!inputResult_.empty() || !inputSeen_) return false;
  return !inputCheck_ || inputCheck_->Continuous();
}

std::string AsioHost::InputMismatchText() const {
  std::lock_guard<std::mutex> lock(lock_);
  if (!inputSeen_) return "no input half arrived";
  if (!inputResult_.empty()) return inputResult_;
  if (inputCheck_ && !inputCheck_->Continuous()) return InputMismatchOf(*inputCheck_);
  return "";
}

AsioHostCounters AsioHost::Counters() const {
  AsioHostCounters c;
  c.bufferSwitches = switches_.load();
  c.timeInfoSwitches = timeInfoSwitches_.load();
  c.sameIndexTwice = sameIndex_.load();
  c.positionJumps = positionJumps_.load();
  c.positionErrors = positionErrors_.load();
  c.resetRequests = resetRequests_.load();
  c.resetsDone = resetsDone_.load();
  c.resyncRequests = resyncRequests_.load();
  c.latencyChanges = latencyChanges_.load();
  c.overloads = overloads_.load();
  c.rateChanges = rateChanges_.load();
  c.switchesAfterStop = switchesAfterStop_.load();
  c.unexpectedTimeInfo = unexpectedTimeInfo_.load();
  c.outputReadyErrors = outputReadyErrors_.load();
  c.slowCallbacks = slowCallbacks_.load();
  c.recordsDropped = recordsDropped_.load();
  std::lock_guard<std::mutex> lock(lock_);
  c.generations = static_cast<uint32_t>(generations_.size());
  return c;
}

bool AsioHost::WaitForSwitches(uint64_t count, uint32_t timeoutMs) {
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(lock_);
  // The callback notifies without the lock; the slices catch a wake-up
  // that came between the check and the wait.
  while (switches_.load() < count) {
    if (Clock::now() >= until) return false;
    wake_.wait_for(lock, std::chrono::milliseconds(10));
  }
  return true;
}

bool AsioHost::WaitForStop(uint32_t timeoutMs) {
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(lock_);
  while (!stopped_.load()) {
    if (Clock::now() >= until) return false;
    wake_.wait_for(lock, std::chrono::milliseconds(10));
  }
  return true;
}

bool AsioHost::WaitForResets(uint64_t count, uint32_t timeoutMs) {
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(lock_);
  while (resetsDone_.load() < count) {
    if (Clock::now() >= until) return false;
    wake_.wait_for(lock, std::chrono::milliseconds(10));
  }
  return true;
}

std::vector<AsioGeneration> AsioHost::Generations() const {
  std::lock_guard<std::mutex> lock(lock_);
  return generations_;
}

std::vector<AsioSwitchRecord> AsioHost::Records() const {
  const size_t n = recordCount_.load(std::memory_order_acquire);
  return std::vector<AsioSwitchRecord>(records_.begin(), records_.begin() + static_cast<long>(n));
}

void AsioHost::SlowNextSwitch(uint32_t ms) { slowMs_ = ms; }

void AsioHost::BlockNextSwitch() {
  std::lock_guard<std::mutex> lock(blockLock_);
  blockReleased_ = false;
  blockNext_ = true;
}

bool AsioHost::WaitBlocked(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(blockLock_);
  return blockWake_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return blocked_; });
}

void AsioHost::ReleaseBlockedSwitch() {
  {
    std::lock_guard<std::mutex> lock(blockLock_);
    blockReleased_ = true;
    blockNext_ = false;
  }
  blockWake_.notify_all();
}

}  // namespace sim
