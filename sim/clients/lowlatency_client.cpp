#include "sim/clients/lowlatency_client.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

constexpr ULONG kGet = KSPROPERTY_TYPE_GET;
constexpr ULONG kSet = KSPROPERTY_TYPE_SET;
// As the ASIO driver: a wait longer than this without an event is a time-out.
constexpr uint32_t kWaitMs = 1000;

std::vector<uint8_t> AsioProperty(ULONG id, ULONG flags, const void* instance, size_t instanceBytes) {
  KSPROPERTY property{};
  property.Set = KSPROPSETID_AsioChannel;
  property.Id = id;
  property.Flags = flags;
  std::vector<uint8_t> bytes(sizeof property + instanceBytes);
  std::memcpy(bytes.data(), &property, sizeof property);
  if (instanceBytes != 0) std::memcpy(bytes.data() + sizeof property, instance, instanceBytes);
  return bytes;
}

}  // namespace

LowLatencyClient::LowLatencyClient(SimulatedMachine& machine) : machine_(machine) {}

LowLatencyClient::~LowLatencyClient() { Stop(); }

NTSTATUS LowLatencyClient::Fail(NTSTATUS status, const char* step) {
  if (failedStep_.empty()) failedStep_ = step;
  return status;
}

NTSTATUS LowLatencyClient::FindPin(bool capture, ULONG* pinId, uint32_t* channels) {
  ULONG count = 0;
  NTSTATUS status = filter_.PinCount(&count);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG id = 0; id < count; ++id) {
    KsPinInfo info;
    if (!NT_SUCCESS(filter_.GetPin(id, &info))) continue;
    const bool sink = info.communication == KSPIN_COMMUNICATION_SINK || info.communication == KSPIN_COMMUNICATION_BOTH;
    if (!sink || info.dataFlow != (capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN)) continue;
    // The direction's full channel count: the widest of its ranges.
    uint32_t most = 0;
    for (const std::vector<uint8_t>& range : info.ranges) {
      if (range.size() < sizeof(KSDATARANGE_AUDIO)) continue;
      KSDATARANGE_AUDIO audio;
      std::memcpy(&audio, range.data(), sizeof audio);
      most = std::max<uint32_t>(most, audio.MaximumChannels);
    }
    *pinId = id;
    *channels = most;
    return most != 0 ? STATUS_SUCCESS : STATUS_NOT_FOUND;
  }
  return STATUS_NOT_FOUND;
}

NTSTATUS LowLatencyClient::OpenPin(bool capture, Side* side) {
  ULONG pinId = 0;
  uint32_t channels = 0;
  NTSTATUS status = FindPin(capture, &pinId, &channels);
  if (!NT_SUCCESS(status)) return Fail(status, capture ? "find capture pin" : "find render pin");
  (capture ? captureChannels_ : renderChannels_) = channels;
  if (!capture && options_.allOutputs) {
    side->channels.clear();
    for (uint32_t c = 0; c < channels; ++c) side->channels.push_back(c);
    options_.outputChannels = side->channels;
  }
  for (uint32_t c : side->channels) {
    if (c >= channels) return Fail(STATUS_INVALID_PARAMETER, capture ? "input channel" : "output channel");
  }
  // 32-bit containers with 32 valid bits first, as the ASIO driver; a
  // direction whose 32-bit containers carry 24 bits takes those; then
  // 24-bit containers.
  static const ULONG kTries[][2] = {{32, 32}, {24, 32}, {24, 24}};
  for (const auto& t : kTries) {
    if (options_.dsd && t[0] != 32) break;
    status = filter_.CreatePin(pinId, KsFilter::PcmFormat(channels, t[0], pinRate_, t[1]), &side->pin);
    if (NT_SUCCESS(status)) return status;
  }
  return Fail(status, capture ? "open capture pin" : "open render pin");
}

NTSTATUS LowLatencyClient::SetPinProperty(KsPin& pin, ULONG id, const void* instance, ULONG instanceBytes) {
  const std::vector<uint8_t> property = AsioProperty(id, kSet, instance, instanceBytes);
  return filter_.Property(pin.Handle(), property.data(), static_cast<ULONG>(property.size()), nullptr, 0, nullptr);
}

NTSTATUS LowLatencyClient::CreateBuffers(Side* side, uint32_t sampleType) {
  const auto count = static_cast<uint32_t>(side->channels.size());
  // count, frames, then (sampleType, channel) per entry; the ASIO driver
  // sends 16 bytes per entry, the surplus zero.
  std::vector<uint32_t> instance(4 * count, 0);
  instance[0] = count;
  instance[1] = 2 * requestFrames_;
  for (uint32_t i = 0; i < count; ++i) {
    instance[2 + 2 * i] = sampleType;
    instance[3 + 2 * i] = side->channels[i];
  }
  NTSTATUS status =
      SetPinProperty(side->pin, KSPROPERTY_ASIO_BUFFERS, instance.data(), static_cast<ULONG>(instance.size() * 4));
  if (!NT_SUCCESS(status)) return Fail(status, "SET buffers");
  const bool is32 = options_.process32Bit;
  const size_t entryBytes = is32 ? sizeof(AsioBufferInfo32) : sizeof(AsioBufferInfo64);
  std::vector<uint8_t> value(entryBytes * count);
  const std::vector<uint8_t> property = AsioProperty(KSPROPERTY_ASIO_BUFFERS, kGet, nullptr, 0);
  status = filter_.Property(side->pin.Handle(), property.data(), static_cast<ULONG>(property.size()), value.data(),
                            static_cast<ULONG>(value.size()), nullptr);
  if (!NT_SUCCESS(status)) return Fail(status, "GET buffers");
  side->halves[0].clear();
  side->halves[1].clear();
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t half0 = 0;
    uint64_t half1 = 0;
    if (is32) {
      AsioBufferInfo32 info;
      std::memcpy(&info, value.data() + i * entryBytes, sizeof info);
      half0 = info.clientHalf[0];
      half1 = info.clientHalf[1];
    } else {
      AsioBufferInfo64 info;
      std::memcpy(&info, value.data() + i * entryBytes, sizeof info);
      half0 = info.clientHalf[0];
      half1 = info.clientHalf[1];
    }
    side->halves[0].push_back(reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(half0)));
    side->halves[1].push_back(reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(half1)));
  }
  // The header sits right before the first entry's half 0.
  side->header = reinterpret_cast<AsioSharedHeader*>(side->halves[0][0] - ASIO_SHARED_HEADER_BYTES);
  return STATUS_SUCCESS;
}

NTSTATUS LowLatencyClient::Start(const LowLatencyOptions& options) {
  Stop();
  options_ = options;
  failedStep_.clear();
  counters_ = LowLatencyCounters{};
  eventFrames_.clear();
  lastIndex_ = -1;
  outputBlock_ = 0;
  inputCheck_.reset();
  if (options_.inputChannels.empty() && !HasOutputs()) return Fail(STATUS_INVALID_PARAMETER, "channels");
  if (options_.bufferFrames == 0 || (options_.dsd && options_.bufferFrames % 4 != 0))
    return Fail(STATUS_INVALID_PARAMETER, "buffer size");
  if (options_.dsd && !options_.inputChannels.empty()) return Fail(STATUS_INVALID_PARAMETER, "DSD inputs");
  pinRate_ = options_.dsd ? options_.rate / 32 : options_.rate;
  requestFrames_ = options_.bufferFrames;
  halfFrames_ = options_.dsd ? options_.bufferFrames / 4 : options_.bufferFrames;
  const uint32_t sampleType = options_.dsd ? ASIOSTDSDInt8MSB1 : ASIOSTInt32LSB;
  capture_.channels = options_.inputChannels;
  render_.channels = options_.outputChannels;

  process_ = platform::CreateClientProcess("lowlatency client", options_.process32Bit);
  platform::ProcessScope scope(process_);
  const std::u16string path = machine_.WaveFilterPath();
  NTSTATUS status = path.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : filter_.Open(path);
  if (!NT_SUCCESS(status)) {
    Fail(status, "open the Wave filter");
    TearDown();
    return status;
  }
  // createBuffers: capture first, then render.
  const bool inputs = HasInputs();
  const bool outputs = HasOutputs();
  status = STATUS_SUCCESS;
  if (inputs) {
    status = OpenPin(true, &capture_);
    if (NT_SUCCESS(status)) status = CreateBuffers(&capture_, sampleType);
  }
  if (NT_SUCCESS(status) && outputs) {
    status = OpenPin(false, &render_);
    if (NT_SUCCESS(status)) status = CreateBuffers(&render_, sampleType);
  }
  if (NT_SUCCESS(status)) {
    // One auto-reset event, on the capture pin when there are inputs.
    event_ = platform::CreateClientEvent(process_, false, false);
    if (event_ == nullptr) status = Fail(STATUS_INSUFFICIENT_RESOURCES, "create event");
  }
  if (NT_SUCCESS(status)) {
    uint8_t handle[8] = {};
    const auto value = reinterpret_cast<uintptr_t>(event_);
    std::memcpy(handle, &value, sizeof value < sizeof handle ? sizeof value : sizeof handle);
    status = SetPinProperty(inputs ? capture_.pin : render_.pin, KSPROPERTY_ASIO_SET_EVENT, handle,
                            options_.process32Bit ? 4 : 8);
    if (!NT_SUCCESS(status)) Fail(status, "SET event");
  }
  if (NT_SUCCESS(status) && outputs) {
    // Output delay: the buffer's duration with inputs, 64 ms for outputs only.
    uint32_t delayMs = 64;
    if (inputs) {
      const double ms = std::floor(double(options_.bufferFrames) * 1000.0 / double(options_.rate) + 0.5);
      delayMs = std::max<uint32_t>(2, static_cast<uint32_t>(ms));
    }
    status = SetPinProperty(render_.pin, KSPROPERTY_ASIO_OUTPUT_DELAY, &delayMs, sizeof delayMs);
    if (!NT_SUCCESS(status)) Fail(status, "SET output delay");
  }
  if (NT_SUCCESS(status)) {
    // start: the transport mode on the filter, then the thread, then the pins.
    KSPROPERTY property{};
    property.Set = KSPROPSETID_AsioChannel;
    property.Id = KSPROPERTY_ASIO_DSD_MODE;
    property.Flags = kSet;
    uint16_t mode = options_.dsd ? 1 : 0;
    if (options_.deviceModeOverride >= 0) mode = static_cast<uint16_t>(options_.deviceModeOverride);
    status = filter_.Property(filter_.Handle(), &property, sizeof property, &mode, sizeof mode, nullptr);
    if (!NT_SUCCESS(status)) Fail(status, "SET DSD mode");
  }
  if (!NT_SUCCESS(status)) {
    TearDown();
    return status;
  }
  stop_ = false;
  threadRunning_ = true;
  thread_ = std::thread([this] { Run(); });
  struct Step {
    Side* side;
    KSSTATE state;
    const char* name;
  };
  const Step steps[] = {{&render_, KSSTATE_ACQUIRE, "render ACQUIRE"},
                        {&capture_, KSSTATE_ACQUIRE, "capture ACQUIRE"},
                        {&render_, KSSTATE_RUN, "render RUN"},
                        {&capture_, KSSTATE_RUN, "capture RUN"}};
  for (const Step& s : steps) {
    if (!s.side->pin.IsOpen()) continue;
    status = s.side->pin.SetState(s.state);
    if (!NT_SUCCESS(status)) {
      Fail(status, s.name);
      Stop();
      return status;
    }
  }
  return STATUS_SUCCESS;
}

void LowLatencyClient::Run() {
  platform::ProcessScope scope(process_);
  for (;;) {
    const NTSTATUS wait = platform::WaitClientEvent(process_, event_, kWaitMs);
    if (stop_.load()) break;
    if (wait == STATUS_SUCCESS) {
      OnSwitch();
    } else {
      std::lock_guard<std::mutex> lock(lock_);
      counters_.waitTimeouts++;
    }
    // Whatever the wait returned: a device-gone status in the render header
    // (the capture header without outputs) ends the stream.
    AsioSharedHeader* header = HasOutputs() ? render_.header : capture_.header;
    const uint32_t error = AsioHeaderLoad(&header->streamError);
    if (error != 0) {
      std::lock_guard<std::mutex> lock(lock_);
      counters_.streamError = error;
      break;
    }
  }
  threadRunning_ = false;
}

void LowLatencyClient::OnSwitch() {
  AsioSharedHeader* header = HasInputs() ? capture_.header : render_.header;
  const uint32_t current = AsioHeaderLoad(&header->currentHalf);
  const uint32_t index = current == 0 ? 1 : 0;
  const uint32_t toggles = AsioHeaderExchange(&header->toggleCount, 0);
  const uint64_t deviceFrames = HasOutputs() ? machine_.Streaming().Counters().framesOutput : 0;
  {
    std::lock_guard<std::mutex> lock(lock_);
    counters_.bufferSwitches++;
    if (toggles > 1) counters_.missedSwitches += toggles - 1;
    if (toggles == 0) counters_.switchesWithoutToggle++;
    if (lastIndex_ == static_cast<int>(index)) counters_.sameHalfTwice++;
    lastIndex_ = static_cast<int>(index);
    if (HasOutputs()) eventFrames_.push_back(deviceFrames);
  }
  if (HasInputs()) TakeInput(index);
  if (HasOutputs()) {
    FillOutput(index);
    const uint64_t block = outputBlock_++;
    NTSTATUS status = STATUS_SUCCESS;
    if (block != options_.skipOutputReadyAt) status = SetPinProperty(render_.pin, KSPROPERTY_ASIO_OUTPUT_READY, nullptr, 0);
    std::lock_guard<std::mutex> lock(lock_);
    counters_.outputHalves++;
    if (!NT_SUCCESS(status)) counters_.outputReadyFailures++;
  }
}

void LowLatencyClient::FillOutput(uint32_t index) {
  const auto entries = static_cast<uint32_t>(render_.channels.size());
  for (uint32_t e = 0; e < entries; ++e) {
    uint8_t* half = render_.halves[index][e];
    if (options_.dsd) {
      const uint64_t first = outputBlock_ * requestFrames_;
      for (uint32_t b = 0; b < requestFrames_; ++b) half[b] = LowLatencyDsdByte(first + b, e);
    } else {
      const uint64_t first = outputBlock_ * halfFrames_;
      for (uint32_t f = 0; f < halfFrames_; ++f) {
        const uint32_t s = LowLatencyPcmSample(first + f, e, entries);
        std::memcpy(half + 4 * f, &s, 4);
      }
    }
  }
}

void LowLatencyClient::TakeInput(uint32_t index) {
  std::vector<const int32_t*> halves;
  for (uint8_t* half : capture_.halves[index]) halves.push_back(reinterpret_cast<const int32_t*>(half));
  std::lock_guard<std::mutex> lock(lock_);
  if (!inputCheck_) {
    const StreamFormat f = machine_.Streaming().Capture();
    LowLatencyCaptureLayout layout;
    layout.channels = f.channels;
    layout.subslotBytes = f.subslotBytes;
    layout.bits = f.bitResolution;
    layout.entryChannels = capture_.channels;
    layout.halfFrames = halfFrames_;
    inputCheck_ = std::make_unique<LowLatencyInputCheck>(layout);
  }
  inputCheck_->Take(halves);
  counters_.inputHalves++;
}

void LowLatencyClient::Stop() {
  if (process_ == nullptr) return;
  if (thread_.joinable()) {
    stop_ = true;
    platform::SetClientEvent(process_, event_);  // the ASIO driver's stop event
    thread_.join();
  }
  TearDown();
}

void LowLatencyClient::TearDown() {
  {
    platform::ProcessScope scope(process_);
    // stop: render, then capture; disposeBuffers: close the pins.
    if (render_.pin.IsOpen()) render_.pin.SetState(KSSTATE_STOP);
    if (capture_.pin.IsOpen()) capture_.pin.SetState(KSSTATE_STOP);
    capture_.pin.Close();
    render_.pin.Close();
    render_.header = nullptr;
    capture_.header = nullptr;
    if (event_ != nullptr) platform::CloseClientHandle(process_, event_);
    event_ = nullptr;
    filter_.Close();
  }
  platform::EndClientProcess(process_);
  process_ = nullptr;
}

LowLatencyCounters LowLatencyClient::Counters() const {
  std::lock_guard<std::mutex> lock(lock_);
  return counters_;
}

std::vector<uint64_t> LowLatencyClient::OutputEventFrames() const {
  std::lock_guard<std::mutex> lock(lock_);
  return eventFrames_;
}

LowLatencyPlayLayout LowLatencyClient::PlayLayout() const {
  LowLatencyPlayLayout layout;
  const StreamFormat f = machine_.Streaming().Render();
  layout.channels = f.channels;
  layout.subslotBytes = f.subslotBytes;
  layout.dsd = options_.dsd;
  layout.halfFrames = halfFrames_;
  layout.entries = static_cast<uint32_t>(options_.outputChannels.size());
  layout.entryOfChannel.assign(f.channels, -1);
  for (uint32_t e = 0; e < layout.entries; ++e) {
    const uint32_t ch = options_.outputChannels[e];
    if (ch < f.channels) layout.entryOfChannel[ch] = static_cast<int32_t>(e);
  }
  return layout;
}

bool LowLatencyClient::InputContinuous() const {
  std::lock_guard<std::mutex> lock(lock_);
  return inputCheck_ && inputCheck_->Continuous();
}

std::string LowLatencyClient::InputMismatchText() const {
  std::lock_guard<std::mutex> lock(lock_);
  if (!inputCheck_) return "no input half arrived";
  if (inputCheck_->Continuous()) return "";
  char text[160];
  std::snprintf(text, sizeof text, "input half %llu frame %llu: 0x%08X, expected 0x%08X",
                static_cast<unsigned long long>(inputCheck_->FirstMismatchHalf()),
                static_cast<unsigned long long>(inputCheck_->FirstMismatchFrame()), inputCheck_->MismatchGot(),
                inputCheck_->MismatchWanted());
  return text;
}

}  // namespace sim
