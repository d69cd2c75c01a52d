// Hostile property requests against the started driver on the simulated
// machine, shared by the libFuzzer target and the bounded in-suite run. The
// input bytes pick every choice: which client process (64- or 32-bit) and
// which handle (the filter, either streaming pin, a closed one, a made-up
// value), the property set, id, flags, the instance and value sizes and
// bytes, the event handles handed over, the pins' states, and closes and
// reopens. Private requests of the low-latency channel are shaped often
// enough to get past the first checks, so the block, the event and the
// streaming paths are reached, idle and while the pins run.
//
// After every refused request the session compares what a client can
// observe (each pin's state and its buffer description, the process's user
// mappings) with what it was before: a refused request must change nothing.
// (The pool count is no measure per request: the stand-ins free and
// allocate in the background.) Verifier stops and sanitizer findings end
// the process by themselves; leaks, kernel references on client events
// among them, are bug checks when the driver unloads.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <memory>

#include "driver/asiochannel/asio_protocol.h"
#include "driver/asiochannel/asio_sample_conversion.h"
#include "driver/core/driver_entry.h"
#include "platform/kernel/client_process.h"
#include "platform/kernel/device_interfaces.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/pnp_manager.h"
#include "platform/kernel/verifier.h"
#include "sim/profiles/device_profile.h"
#include "sim/uac/audio_function_model.h"
#include "sim/uac/audio_streaming.h"
#include "sim/usb/hub_port.h"
#include "sim/usb/sim_usb_device.h"
#include "tests/support/ks_requests.h"

namespace asiofuzz {

// The fuzzer's bytes, read front to back; zeros once they run out.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Exhausted() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t U32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
    return v;
  }
  uint64_t U64() { return U32() | (static_cast<uint64_t>(U32()) << 32); }
  // 0 .. n-1.
  uint32_t Below(uint32_t n) { return n <= 256 ? Byte() % n : U32() % n; }
  void Fill(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = Byte();
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// What a refused request must leave as it was.
struct Snapshot {
  NTSTATUS stateStatus[2] = {};
  KSSTATE state[2] = {};
  NTSTATUS buffersStatus[2] = {};
  std::vector<uint8_t> buffers[2];
  size_t mappings = 0;
  bool idle = false;

  // What differs from `o`; empty when nothing does.
  std::string Difference(const Snapshot& o) const {
    std::string d;
    static const char* const kSide[2] = {"render", "capture"};
    for (int i = 0; i < 2; ++i) {
      if (stateStatus[i] != o.stateStatus[i] || state[i] != o.state[i]) d += std::string(" ") + kSide[i] + " state;";
      if (buffersStatus[i] != o.buffersStatus[i]) d += std::string(" ") + kSide[i] + " buffers GET status;";
      else if (buffers[i] != o.buffers[i]) d += std::string(" ") + kSide[i] + " buffer description;";
    }
    if (mappings != o.mappings) d += " user mappings " + std::to_string(mappings) + " -> " + std::to_string(o.mappings) + ";";
    return d;
  }
};

struct Result {
  uint64_t requests = 0;
  uint64_t refused = 0;
  uint64_t blocksCreated = 0;   // BUFFERS SET that succeeded
  uint64_t eventsSet = 0;       // SET_EVENT that succeeded
  uint64_t runningRequests = 0; // requests sent while a pin ran
  uint64_t streamingBlockRequests = 0;  // ... a pin that had a shared block
  std::vector<std::string> changedByRefusal;  // what a refused request changed
};

class Session {
 public:
  // The default device with its real-time audio side, behind a hub port,
  // the driver loaded and started; Ok() false when it does not start.
  // boundedCost: no request for a block of 64 MB to 4 GB (see Build).
  explicit Session(bool boundedCost = false) : boundedCost_(boundedCost) {
    sim::DeviceProfile profile;
    if (!sim::MakeProfile("default", profile)) return;
    descriptors_ = profile.descriptors;
    model_ = std::make_unique<sim::AudioFunctionModel>(descriptors_, profile.audio);
    device_ = std::make_unique<sim::SimUsbDevice>(descriptors_, model_.get());
    streaming_ = std::make_unique<sim::AudioStreaming>(descriptors_, *model_, sim::StreamingOptions{});
    device_->SetEndpointHandler(streaming_.get());
    hub_ = std::make_unique<sim::HubPort>(device_->Pdo(), 0x1FA7, 0x4D02, 0x0100, 0);
    pnp_ = std::make_unique<platform::PnpManager>();
    NTSTATUS status = pnp_->LoadDriver(DriverEntry);
    if (NT_SUCCESS(status)) status = pnp_->AddDevice(hub_->Pdo());
    if (NT_SUCCESS(status)) status = pnp_->StartDevice(hub_->Pdo());
    const auto interfaces = platform::GetDeviceInterfaces(KSCATEGORY_AUDIO);
    if (NT_SUCCESS(status) && !interfaces.empty()) {
      filterPath_ = interfaces[0].symbolicLink;
      ok_ = true;
    }
  }
  // Removes the device and unloads the driver (leaks are bug checks there).
  ~Session() {
    if (pnp_ && pnp_->Driver()) {
      if (platform::PnpManager::FunctionalDevice(hub_->Pdo())) pnp_->RemoveDevice(hub_->Pdo());
      pnp_->UnloadDriver();
    }
    pnp_.reset();
    hub_.reset();
    device_.reset();
    streaming_.reset();
    model_.reset();
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool Ok() const { return ok_; }

  // Client processes, one after the other, until the input runs out or
  // `maxRequests` requests have been sent.
  Result Run(Input& in, uint64_t maxRequests) {
    Result result;
    platform::ClientProcess* bystander = platform::CreateClientProcess("fuzz bystander", false);
    const HANDLE foreignEvent = platform::CreateClientEvent(bystander, false, false);
    foreignEvent_ = reinterpret_cast<uint64_t>(foreignEvent);
    while (!in.Exhausted() && result.requests < maxRequests) RunProcess(in, maxRequests, &result);
    platform::EndClientProcess(bystander);
    return result;
  }

 private:
  enum Target { kFilter, kRender, kCapture, kStale, kMadeUp, kTargets };

  struct Process {
    platform::ClientProcess* process = nullptr;
    bool is32 = false;
    HANDLE filter = nullptr;
    HANDLE pins[2] = {nullptr, nullptr};  // render, capture
    bool hasBlock[2] = {false, false};    // a BUFFERS SET succeeded on that pin
    std::vector<HANDLE> events;
    std::vector<uint64_t> stale;
  };

  void RunProcess(Input& in, uint64_t maxRequests, Result* result) {
    Process p;
    p.is32 = (in.Byte() & 1) != 0;
    p.process = platform::CreateClientProcess(p.is32 ? "fuzz client 32" : "fuzz client 64", p.is32);
    {
      platform::ProcessScope scope(p.process);
      if (NT_SUCCESS(platform::KsOpenFilter(filterPath_, &p.filter))) {
        OpenPin(p, 0);
        OpenPin(p, 1);
        const uint32_t steps = 1 + in.Below(200);
        for (uint32_t i = 0; i < steps && !in.Exhausted() && result->requests < maxRequests; ++i) Step(in, p, result);
        // Either the client closes its handles, or the process ends with
        // them open (and its mappings still in place).
        if (in.Byte() & 1) {
          for (HANDLE& pin : p.pins) Close(p, &pin);
          Close(p, &p.filter);
        }
      }
    }
    platform::EndClientProcess(p.process);
  }

  // The streaming pin of a direction, in the first PCM format it takes
  // (32-bit containers first, as the low-latency client opens them), which
  // is then kept for the rest of the session.
  void OpenPin(Process& p, int side) {
    if (p.pins[side] != nullptr) return;
    if (pinId_[side] == ~0u) FindPins(p);
    if (pinId_[side] == ~0u) return;
    static const WORD kFormats[][2] = {{2, 32}, {2, 24}, {2, 16}, {1, 32}, {1, 24}, {1, 16}};
    for (size_t i = format_[side]; i < sizeof kFormats / sizeof kFormats[0]; ++i) {
      const auto& f = kFormats[i];
      const std::vector<UCHAR> connect = ks_requests::PcmPinConnect(pinId_[side], f[0], f[1], 48000);
      if (NT_SUCCESS(platform::KsCreatePin(p.filter, connect.data(), static_cast<ULONG>(connect.size()),
                                           &p.pins[side]))) {
        format_[side] = i;
        return;
      }
      p.pins[side] = nullptr;
    }
  }

  void FindPins(Process& p) {
    ULONG count = 0;
    KSPROPERTY property{KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET};
    ULONG bytes = 0;
    if (!NT_SUCCESS(platform::KsProperty(p.filter, &property, sizeof property, &count, sizeof count, &bytes))) return;
    for (ULONG id = 0; id < count; ++id) {
      KSP_PIN pin{};
      pin.Property = {KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_TYPE_GET};
      pin.PinId = id;
      KSPIN_DATAFLOW flow{};
      KSPIN_COMMUNICATION communication{};
      if (!NT_SUCCESS(platform::KsProperty(p.filter, &pin, sizeof pin, &flow, sizeof flow, &bytes))) continue;
      pin.Property.Id = KSPROPERTY_PIN_COMMUNICATION;
      if (!NT_SUCCESS(platform::KsProperty(p.filter, &pin, sizeof pin, &communication, sizeof communication, &bytes)))
        continue;
      if (communication != KSPIN_COMMUNICATION_SINK) continue;
      const int side = flow == KSPIN_DATAFLOW_OUT ? 1 : 0;
      pinId_[side] = id;
    }
  }

  void Close(Process& p, HANDLE* h) {
    if (*h == nullptr) return;
    for (int side = 0; side < 2; ++side) {
      if (*h == p.pins[side]) p.hasBlock[side] = false;
    }
    p.stale.push_back(reinterpret_cast<uint64_t>(*h));
    platform::IoCloseHandle(*h);
    *h = nullptr;
  }

  HANDLE PickTarget(Input& in, Process& p) {
    switch (in.Below(kTargets)) {
      case kFilter: return p.filter;
      case kRender: return p.pins[0] ? p.pins[0] : p.filter;
      case kCapture: return p.pins[1] ? p.pins[1] : p.filter;
      case kStale:
        if (!p.stale.empty()) return reinterpret_cast<HANDLE>(p.stale[in.Below(static_cast<uint32_t>(p.stale.size()))]);
        return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(in.U32()));
      default: return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(in.U64()));
    }
  }

  HANDLE PickPin(Input& in, Process& p) {
    HANDLE h = p.pins[in.Byte() & 1];
    return h ? h : PickTarget(in, p);
  }

  // A handle value for SET/CLEAR_EVENT: one of the process's events (fresh,
  // registered before, or without the access the kernel asks for), a closed
  // one, another process's, a file handle, or a made-up value.
  uint64_t PickEventHandle(Input& in, Process& p) {
    switch (in.Below(9)) {
      case 0:
      case 1: {
        const HANDLE e = platform::CreateClientEvent(p.process, (in.Byte() & 1) != 0, false);
        if (e) p.events.push_back(e);
        return reinterpret_cast<uint64_t>(e);
      }
      case 2: {
        // SYNCHRONIZE only, or EVENT_MODIFY_STATE only.
        const HANDLE e = platform::CreateClientEvent(p.process, false, false, (in.Byte() & 1) ? 0x00100000 : 0x0002);
        if (e) p.events.push_back(e);
        return reinterpret_cast<uint64_t>(e);
      }
      case 3:
        if (!p.events.empty()) return reinterpret_cast<uint64_t>(p.events[in.Below(static_cast<uint32_t>(p.events.size()))]);
        return 0;
      case 4:
        if (!p.events.empty()) {
          // Closed by the client while the kernel may hold it.
          const size_t i = in.Below(static_cast<uint32_t>(p.events.size()));
          const HANDLE e = p.events[i];
          platform::CloseClientHandle(p.process, e);
          p.events.erase(p.events.begin() + static_cast<ptrdiff_t>(i));
          p.stale.push_back(reinterpret_cast<uint64_t>(e));
          return reinterpret_cast<uint64_t>(e);
        }
        return 0;
      case 5: return foreignEvent_;
      case 6: return reinterpret_cast<uint64_t>(PickTarget(in, p));
      case 7: return 0xFFFFFFFF80000000ull | (in.U32() & ~3u);  // kernel-handle bit
      default: return in.U64();
    }
  }

  Snapshot Observe(Process& p) {
    Snapshot s;
    s.idle = true;
    for (int side = 0; side < 2; ++side) {
      const HANDLE pin = p.pins[side];
      if (pin == nullptr) {
        s.stateStatus[side] = STATUS_INVALID_HANDLE;
        continue;
      }
      ULONG bytes = 0;
      KSPROPERTY state{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET};
      s.stateStatus[side] = platform::KsProperty(pin, &state, sizeof state, &s.state[side], sizeof s.state[side], &bytes);
      if (NT_SUCCESS(s.stateStatus[side]) && s.state[side] != KSSTATE_STOP) {
        // A GET silences the halves, which the streaming copies fill at the
        // same moment (see Send; capture transfers go on until STOP): the
        // description is read only in STOP.
        s.idle = false;
        s.buffersStatus[side] = STATUS_PENDING;
        continue;
      }
      KSPROPERTY buffers{KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_BUFFERS, KSPROPERTY_TYPE_GET};
      s.buffers[side].assign(64 * sizeof(AsioBufferInfo64), 0);
      s.buffersStatus[side] = platform::KsProperty(pin, &buffers, sizeof buffers, s.buffers[side].data(),
                                                   static_cast<ULONG>(s.buffers[side].size()), &bytes);
      if (!NT_SUCCESS(s.buffersStatus[side])) s.buffers[side].clear();
    }
    s.mappings = platform::UserMappingCount(p.process);
    return s;
  }

  // One request (or one client action) chosen by the input.
  void Step(Input& in, Process& p, Result* result) {
    const uint32_t op = in.Below(16);
    if (op == 14) {  // pin state, one legal step at a time up or down
      HANDLE pin = PickPin(in, p);
      const KSSTATE target = static_cast<KSSTATE>(in.Below(4));
      SetState(pin, target);
      return;
    }
    if (op == 15) {  // close and reopen a pin; the old handle goes stale
      const int side = in.Byte() & 1;
      Close(p, &p.pins[side]);
      if (in.Byte() & 1) OpenPin(p, side);
      return;
    }

    if (op == 13) {
      Stream(in, p, result);
      return;
    }
    std::vector<uint8_t> property;
    std::vector<uint8_t> value;
    HANDLE target = nullptr;
    Build(in, p, op, &target, &property, &value);
    Send(p, target, property, value, result);
  }

  // What the ASIO driver does, with the request's entries bent now and then
  // (channels past the pin's, mixed types): from STOP, a block, an event,
  // RUN, then a few buffer switches answered with output ready on the
  // render pin, so the copies run through the whole DMA buffer.
  void Stream(Input& in, Process& p, Result* result) {
    const int side = in.Byte() & 1;
    const HANDLE pin = p.pins[side];
    if (pin == nullptr || !NT_SUCCESS(SetState(pin, KSSTATE_STOP))) return;
    const uint32_t count = 1 + in.Below(3);
    const uint32_t frames = 64u << in.Below(4);
    static const uint32_t kTypes[] = {ASIOSTInt32LSB, ASIOSTInt24LSB, ASIOSTInt16LSB, ASIOSTFloat32LSB};
    std::vector<uint8_t> request(sizeof(KSPROPERTY) + 8 + 8 * count);
    KSPROPERTY header{KSPROPSETID_AsioChannel, KSPROPERTY_ASIO_BUFFERS, KSPROPERTY_TYPE_SET};
    std::memcpy(request.data(), &header, sizeof header);
    std::memcpy(request.data() + sizeof header, &count, 4);
    std::memcpy(request.data() + sizeof header + 4, &frames, 4);
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t type = kTypes[in.Below(4)];
      const uint32_t channel = in.Below(4) == 0 ? 2 + in.Below(6) : in.Below(2);
      std::memcpy(request.data() + sizeof header + 8 + 8 * i, &type, 4);
      std::memcpy(request.data() + sizeof header + 12 + 8 * i, &channel, 4);
    }
    if (!NT_SUCCESS(Send(p, pin, request, {}, result))) return;
    const HANDLE event = platform::CreateClientEvent(p.process, false, false);
    if (event == nullptr) return;
    p.events.push_back(event);
    const uint64_t handle = reinterpret_cast<uint64_t>(event);
    std::vector<uint8_t> setEvent(sizeof(KSPROPERTY) + (p.is32 ? 4 : 8));
    header.Id = KSPROPERTY_ASIO_SET_EVENT;
    std::memcpy(setEvent.data(), &header, sizeof header);
    std::memcpy(setEvent.data() + sizeof header, &handle, p.is32 ? 4 : 8);
    if (!NT_SUCCESS(Send(p, pin, setEvent, {}, result))) return;
    if (!NT_SUCCESS(SetState(pin, KSSTATE_RUN))) return;
    header.Id = KSPROPERTY_ASIO_OUTPUT_READY;
    const std::vector<uint8_t> outputReady(reinterpret_cast<const uint8_t*>(&header),
                                           reinterpret_cast<const uint8_t*>(&header) + sizeof header);
    const uint32_t switches = 4 + in.Below(13);
    for (uint32_t i = 0; i < switches; ++i) {
      // A buffer switch comes within a half (at most 10 ms here); a missing
      // one only ends the run early.
      if (platform::WaitClientEvent(p.process, event, 50) != STATUS_SUCCESS) break;
      if (side == 0) Send(p, pin, outputReady, {}, result);
    }
  }

  // Sends one request; a refused one must leave the client's view as it was.
  NTSTATUS Send(Process& p, HANDLE target, const std::vector<uint8_t>& property, std::vector<uint8_t> value,
                Result* result) {
    const Snapshot before = Observe(p);
    // A BUFFERS GET silences every half, as the protocol says, racing the
    // copies of a started pin into and out of the same halves (the ASIO
    // driver sends it only before it runs the pins). Sent only to a pin in
    // STOP, so the ThreadSanitizer build stays quiet about it.
    KSPROPERTY peek{};
    if (property.size() >= sizeof peek) std::memcpy(&peek, property.data(), sizeof peek);
    if (property.size() >= sizeof peek && IsEqualGUID(peek.Set, KSPROPSETID_AsioChannel) &&
        peek.Id == KSPROPERTY_ASIO_BUFFERS && (peek.Flags & KSPROPERTY_TYPE_GET)) {
      for (int side = 0; side < 2; ++side) {
        if (target == p.pins[side] && before.buffersStatus[side] == STATUS_PENDING) return STATUS_PENDING;
      }
    }
    if (!before.idle) ++result->runningRequests;
    for (int side = 0; side < 2; ++side) {
      if (NT_SUCCESS(before.stateStatus[side]) && before.state[side] == KSSTATE_RUN && p.hasBlock[side]) {
        ++result->streamingBlockRequests;
        break;
      }
    }
    ULONG bytes = 0;
    const NTSTATUS status =
        platform::KsProperty(target, property.data(), static_cast<ULONG>(property.size()),
                             value.empty() ? nullptr : value.data(), static_cast<ULONG>(value.size()), &bytes);
    ++result->requests;
    KSPROPERTY header{};
    if (!property.empty())
      std::memcpy(&header, property.data(), property.size() < sizeof header ? property.size() : sizeof header);
    const bool asio = property.size() >= sizeof header && IsEqualGUID(header.Set, KSPROPSETID_AsioChannel);
    if (NT_SUCCESS(status)) {
      if (asio && header.Id == KSPROPERTY_ASIO_BUFFERS && (header.Flags & KSPROPERTY_TYPE_SET)) {
        ++result->blocksCreated;
        for (int side = 0; side < 2; ++side) p.hasBlock[side] = p.hasBlock[side] || target == p.pins[side];
      }
      if (asio && header.Id == KSPROPERTY_ASIO_SET_EVENT && (header.Flags & KSPROPERTY_TYPE_SET)) ++result->eventsSet;
      return status;
    }
    ++result->refused;
    const Snapshot after = Observe(p);
    const std::string difference = before.Difference(after);
    if (!difference.empty()) {
      char text[160];
      std::snprintf(text, sizeof text, "%s id %lu flags 0x%lx, %zu+%zu bytes, status 0x%08lx%s:",
                    asio ? "ASIO" : "standard", static_cast<unsigned long>(header.Id),
                    static_cast<unsigned long>(header.Flags), property.size(), value.size(),
                    static_cast<unsigned long>(static_cast<uint32_t>(status)), p.is32 ? ", 32-bit" : "");
      result->changedByRefusal.emplace_back(text + difference);
    }
    return status;
  }

  static NTSTATUS SetState(HANDLE pin, KSSTATE target) {
    KSPROPERTY property{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET};
    KSSTATE state = KSSTATE_STOP;
    ULONG bytes = 0;
    NTSTATUS status = platform::KsProperty(pin, &property, sizeof property, &state, sizeof state, &bytes);
    while (NT_SUCCESS(status) && state != target) {
      state = static_cast<KSSTATE>(state < target ? state + 1 : state - 1);
      property.Flags = KSPROPERTY_TYPE_SET;
      status = platform::KsProperty(pin, &property, sizeof property, &state, sizeof state, &bytes);
    }
    return status;
  }

  void Build(Input& in, Process& p, uint32_t op, HANDLE* target, std::vector<uint8_t>* property,
             std::vector<uint8_t>* value) {
    static const ULONG kFlags[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                                   KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, 0};
    static const GUID kStandardSets[] = {KSPROPSETID_Connection, KSPROPSETID_Audio, KSPROPSETID_Pin,
                                         KSPROPSETID_General, KSPROPSETID_Topology};
    KSPROPERTY header{};
    header.Set = KSPROPSETID_AsioChannel;
    header.Flags = (in.Byte() & 7) == 0 ? in.U32() : kFlags[in.Below(5)];
    std::vector<uint8_t> instance;
    size_t valueBytes = in.Below(4) == 0 ? in.Below(4096) : in.Below(64);
    const size_t entryBytes = p.is32 ? sizeof(AsioBufferInfo32) : sizeof(AsioBufferInfo64);
    *target = PickPin(in, p);

    switch (op) {
      case 0:
      case 1:
      case 2: {  // BUFFERS SET with a request shaped like the client's, then perhaps bent
        header.Id = KSPROPERTY_ASIO_BUFFERS;
        header.Flags = (in.Byte() & 3) == 0 ? (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET) : KSPROPERTY_TYPE_SET;
        uint32_t count = 1 + in.Below(4);
        uint32_t frames = 2u << in.Below(12);
        const uint32_t bend = in.Below(8);
        if (bend == 0) count = in.U32();                    // wraps the size products
        if (bend == 1) frames = in.U32();                   // odd, zero, huge
        if (bend == 2) frames = 0x80000000u | (in.U32() & 0xFFFE);
        const size_t entries = bend == 3 ? in.Below(3) : (count < 8 ? count : 8);
        instance.resize(8 + 8 * entries + (in.Byte() & 1 ? 8 * entries : 0));
        std::memcpy(instance.data(), &count, 4);
        std::memcpy(instance.data() + 4, &frames, 4);
        static const uint32_t kTypes[] = {ASIOSTInt32LSB, ASIOSTInt24LSB, ASIOSTInt16LSB, ASIOSTFloat32LSB,
                                          ASIOSTDSDInt8MSB1, ASIOSTDSDInt8LSB1};
        for (size_t i = 0; i < entries; ++i) {
          const uint32_t type = in.Below(8) == 0 ? in.U32() : kTypes[in.Below(6)];
          const uint32_t channel = in.Below(8) == 0 ? in.U32() : in.Below(4);
          std::memcpy(instance.data() + 8 + 8 * i, &type, 4);
          std::memcpy(instance.data() + 12 + 8 * i, &channel, 4);
        }
        if (boundedCost_) {
          // Blocks between 64 MB and the 4 GB the sizes can reach cost seconds
          // to allocate and clear; the bounded run keeps to the two ends.
          uint64_t bytes = 16;
          for (size_t i = 0; i < entries && i < count; ++i) {
            uint32_t type;
            std::memcpy(&type, instance.data() + 8 + 8 * i, 4);
            bytes += static_cast<uint64_t>(AsioSampleBytes(type)) * frames;
          }
          if (bytes > (64ull << 20) && bytes <= (4ull << 30)) {
            frames &= 0xFFFE;
            std::memcpy(instance.data() + 4, &frames, 4);
          }
        }
        valueBytes = header.Flags & KSPROPERTY_TYPE_GET ? entries * entryBytes + in.Below(3) : 0;
        if (valueBytes > 0 && (in.Byte() & 1)) --valueBytes;  // one byte short
        break;
      }
      case 3: {  // BUFFERS GET around the size the reply needs
        header.Id = KSPROPERTY_ASIO_BUFFERS;
        header.Flags = KSPROPERTY_TYPE_GET;
        valueBytes = in.Below(5) * entryBytes + in.Below(3);
        if (valueBytes > 0 && (in.Byte() & 1)) --valueBytes;
        break;
      }
      case 4:
      case 5:
      case 6: {  // SET / CLEAR_EVENT
        header.Id = in.Below(3) == 0 ? KSPROPERTY_ASIO_CLEAR_EVENT : KSPROPERTY_ASIO_SET_EVENT;
        if (in.Byte() & 3) header.Flags = KSPROPERTY_TYPE_SET;
        const uint64_t handle = PickEventHandle(in, p);
        const size_t size = (in.Byte() & 3) ? (p.is32 ? 4 : 8) : in.Below(13);
        instance.assign(size, 0);
        if (size != 0) std::memcpy(instance.data(), &handle, size < 8 ? size : 8);
        valueBytes = in.Below(3) == 0 ? in.Below(16) : 0;
        break;
      }
      case 7: {  // OUTPUT_READY / OUTPUT_DELAY
        header.Id = (in.Byte() & 1) ? KSPROPERTY_ASIO_OUTPUT_READY : KSPROPERTY_ASIO_OUTPUT_DELAY;
        if (in.Byte() & 3) header.Flags = KSPROPERTY_TYPE_SET;
        instance.resize(in.Below(4) == 0 ? in.Below(9) : 4);
        in.Fill(instance.data(), instance.size());
        valueBytes = in.Below(3) == 0 ? in.Below(16) : 0;
        break;
      }
      case 8: {  // DSD_MODE, on the filter mostly
        header.Id = KSPROPERTY_ASIO_DSD_MODE;
        if (in.Byte() & 3) {
          header.Flags = KSPROPERTY_TYPE_SET;
          *target = p.filter;
        }
        valueBytes = in.Below(4);
        break;
      }
      case 9:
      case 10: {  // any private id, anywhere
        header.Id = in.Below(4) == 0 ? in.U32() : in.Below(260);
        *target = PickTarget(in, p);
        instance.resize(in.Below(40));
        in.Fill(instance.data(), instance.size());
        break;
      }
      default: {  // a standard set
        header.Set = kStandardSets[in.Below(5)];
        header.Id = in.Below(24);
        if (in.Byte() & 1) *target = PickTarget(in, p);
        instance.resize(in.Below(3) == 0 ? in.Below(80) : 0);
        in.Fill(instance.data(), instance.size());
        break;
      }
    }
    // Sometimes a header cut short.
    size_t headerBytes = sizeof header;
    if (in.Below(32) == 0) {
      headerBytes = in.Below(sizeof header);
      instance.clear();
    }
    property->resize(headerBytes + instance.size());
    if (headerBytes != 0) std::memcpy(property->data(), &header, headerBytes);
    if (!instance.empty()) std::memcpy(property->data() + headerBytes, instance.data(), instance.size());
    value->resize(valueBytes);
    in.Fill(value->data(), value->size());
  }

  sim::DescriptorSet descriptors_;
  std::unique_ptr<sim::AudioFunctionModel> model_;
  std::unique_ptr<sim::SimUsbDevice> device_;
  std::unique_ptr<sim::AudioStreaming> streaming_;
  std::unique_ptr<sim::HubPort> hub_;
  std::unique_ptr<platform::PnpManager> pnp_;
  std::u16string filterPath_;
  bool boundedCost_ = false;
  bool ok_ = false;
  uint64_t foreignEvent_ = 0;
  ULONG pinId_[2] = {~0u, ~0u};
  size_t format_[2] = {0, 0};
};

}  // namespace asiofuzz
