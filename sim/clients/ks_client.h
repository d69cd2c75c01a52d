// A kernel-streaming client of the "Wave" filter, as Windows clients talk to
// it: through the I/O manager with IOCTL_KS_PROPERTY requests, pin creation
// from a KSPIN_CONNECT, and state changes on the pin.
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct KsPinInfo {
  ULONG id = 0;
  KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
  KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
  bool hasCategory = false;
  GUID category{};
  KSPIN_CINSTANCES instances{};        // possible / current on this filter
  KSPIN_CINSTANCES globalInstances{};  // possible / current on the system
  std::vector<std::vector<uint8_t>> ranges;  // each data range as returned
};

// A created pin; closing it releases the driver's stream.
class KsPin {
 public:
  KsPin() = default;
  ~KsPin() { Close(); }
  KsPin(const KsPin&) = delete;
  KsPin& operator=(const KsPin&) = delete;
  KsPin(KsPin&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }

  bool IsOpen() const { return handle_ != nullptr; }
  HANDLE Handle() const { return handle_; }
  NTSTATUS SetState(KSSTATE state);
  NTSTATUS GetState(KSSTATE* state);
  // KSPROPERTY_AUDIO_POSITION.
  NTSTATUS GetPosition(KSAUDIO_POSITION* position);
  NTSTATUS Close();

 private:
  friend class KsFilter;
  HANDLE handle_ = nullptr;
};

// One stream request with its own data buffer (allocated once and reused):
// IOCTL_KS_WRITE_STREAM / READ_STREAM with one KSSTREAM_HEADER, sent
// without waiting. It must not be destroyed while in flight.
class KsStreamRequest {
 public:
  explicit KsStreamRequest(size_t bytes) : data_(bytes) {}
  KsStreamRequest(const KsStreamRequest&) = delete;
  KsStreamRequest& operator=(const KsStreamRequest&) = delete;

  uint8_t* Data() { return data_.data(); }
  size_t Capacity() const { return data_.size(); }
  // Render: the first `bytes` of Data(); capture: room for the whole buffer.
  NTSTATUS Submit(HANDLE pin, bool write, size_t bytes);
  bool InFlight() const { return inFlight_.load(); }
  NTSTATUS Status() const { return status_.load(); }
  // Capture: bytes the port filled (the header's DataUsed).
  ULONG DataUsed() const { return header_.DataUsed; }

 private:
  static void Done(void* context, NTSTATUS status, ULONG_PTR information);
  std::vector<uint8_t> data_;
  KSSTREAM_HEADER header_{};
  std::atomic<bool> inFlight_{false};
  std::atomic<NTSTATUS> status_{STATUS_SUCCESS};
};

class KsFilter {
 public:
  KsFilter() = default;
  ~KsFilter() { Close(); }
  KsFilter(const KsFilter&) = delete;
  KsFilter& operator=(const KsFilter&) = delete;

  NTSTATUS Open(const std::u16string& devicePath);
  NTSTATUS Close();
  HANDLE Handle() const { return handle_; }

  // Any property request; a size query when valueLength is 0.
  NTSTATUS Property(HANDLE target, const void* property, ULONG propertyLength, void* value, ULONG valueLength,
                    ULONG* bytesReturned);

  NTSTATUS PinCount(ULONG* count);
  NTSTATUS GetPin(ULONG pinId, KsPinInfo* info);
  NTSTATUS Nodes(std::vector<GUID>* types);
  NTSTATUS Connections(std::vector<KSTOPOLOGY_CONNECTION>* connections);

  // The pin's preferred format for a 2-or-more-channel PCM request
  // (KSDATAFORMAT followed by WAVEFORMATEXTENSIBLE).
  NTSTATUS Intersect(ULONG pinId, ULONG channels, ULONG bits, ULONG rate, std::vector<uint8_t>* format);
  // A KSDATAFORMAT_WAVEFORMATEX (extensible) for an exact format.
  static std::vector<uint8_t> PcmFormat(ULONG channels, ULONG bits, ULONG rate, ULONG containerBits = 0);
  NTSTATUS CreatePin(ULONG pinId, const std::vector<uint8_t>& format, KsPin* pin);

  // Node properties of KSPROPSETID_Audio on this filter.
  NTSTATUS GetNodeValue(ULONG propertyId, ULONG node, LONG channel, LONG* value);
  NTSTATUS SetNodeValue(ULONG propertyId, ULONG node, LONG channel, LONG value);

 private:
  NTSTATUS PinProperty(ULONG property, ULONG pinId, std::vector<uint8_t>* value);
  NTSTATUS VariableProperty(const void* property, ULONG propertyLength, std::vector<uint8_t>* value);

  HANDLE handle_ = nullptr;
};

std::string GuidText(const GUID& guid);

}  // namespace sim
