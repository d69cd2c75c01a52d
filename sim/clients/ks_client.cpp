#include "sim/clients/ks_client.h"

#include <cstdio>
#include <cstring>

#include "platform/kernel/io_manager.h"

namespace sim {

namespace {

KSPROPERTY MakeProperty(const GUID& set, ULONG id, ULONG flags) {
  KSPROPERTY property{};
  property.Set = set;
  property.Id = id;
  property.Flags = flags;
  return property;
}

}  // namespace

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(g.Data1),
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return text;
}

NTSTATUS KsPin::SetState(KSSTATE state) {
  KSPROPERTY property = MakeProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
  ULONG bytes = 0;
  return platform::KsProperty(handle_, &property, sizeof property, &state, sizeof state, &bytes);
}

NTSTATUS KsPin::GetState(KSSTATE* state) {
  KSPROPERTY property = MakeProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET);
  ULONG bytes = 0;
  return platform::KsProperty(handle_, &property, sizeof property, state, sizeof *state, &bytes);
}

NTSTATUS KsPin::GetPosition(KSAUDIO_POSITION* position) {
  KSPROPERTY property = MakeProperty(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET);
  ULONG bytes = 0;
  return platform::KsProperty(handle_, &property, sizeof property, position, sizeof *position, &bytes);
}

void KsStreamRequest::Done(void* context, NTSTATUS status, ULONG_PTR) {
  KsStreamRequest* r = static_cast<KsStreamRequest*>(context);
  r->status_ = status;
  r->inFlight_ = false;  // last: the owner may reuse it from here on
}

NTSTATUS KsStreamRequest::Submit(HANDLE pin, bool write, size_t bytes) {
  header_ = KSSTREAM_HEADER{};
  header_.Size = sizeof header_;
  header_.Data = data_.data();
  header_.FrameExtent = static_cast<ULONG>(write ? bytes : data_.size());
  header_.DataUsed = write ? static_cast<ULONG>(bytes) : 0;
  status_ = STATUS_PENDING;
  inFlight_ = true;
  const NTSTATUS status = platform::IoDeviceControlAsync(pin, write ? IOCTL_KS_WRITE_STREAM : IOCTL_KS_READ_STREAM,
                                                         nullptr, 0, &header_, sizeof header_, Done, this);
  if (status != STATUS_PENDING && !NT_SUCCESS(status) && status_.load() == STATUS_PENDING) {
    // Refused before it reached the port (no IRP): nothing will complete it.
    status_ = status;
    inFlight_ = false;
  }
  return status;
}

NTSTATUS KsPin::Close() {
  if (handle_ == nullptr) return STATUS_SUCCESS;
  NTSTATUS status = platform::IoCloseHandle(handle_);
  handle_ = nullptr;
  return status;
}

NTSTATUS KsFilter::Open(const std::u16string& devicePath) {
  Close();
  return platform::KsOpenFilter(devicePath, &handle_);
}

NTSTATUS KsFilter::Close() {
  if (handle_ == nullptr) return STATUS_SUCCESS;
  NTSTATUS status = platform::IoCloseHandle(handle_);
  handle_ = nullptr;
  return status;
}

NTSTATUS KsFilter::Property(HANDLE target, const void* property, ULONG propertyLength, void* value, ULONG valueLength,
                            ULONG* bytesReturned) {
  ULONG bytes = 0;
  NTSTATUS status = platform::KsProperty(target, property, propertyLength, value, valueLength, &bytes);
  if (bytesReturned != nullptr) *bytesReturned = bytes;
  return status;
}

NTSTATUS KsFilter::VariableProperty(const void* property, ULONG propertyLength, std::vector<uint8_t>* value) {
  // Ask for the size first, as a Windows client does, then read.
  ULONG size = 0;
  NTSTATUS status = Property(handle_, property, propertyLength, nullptr, 0, &size);
  if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL && !NT_SUCCESS(status)) return status;
  value->assign(size, 0);
  ULONG bytes = 0;
  status = Property(handle_, property, propertyLength, value->data(), size, &bytes);
  if (NT_SUCCESS(status)) value->resize(bytes);
  return status;
}

NTSTATUS KsFilter::PinProperty(ULONG id, ULONG pinId, std::vector<uint8_t>* value) {
  KSP_PIN property{};
  property.Property = MakeProperty(KSPROPSETID_Pin, id, KSPROPERTY_TYPE_GET);
  property.PinId = pinId;
  return VariableProperty(&property, sizeof property, value);
}

NTSTATUS KsFilter::PinCount(ULONG* count) {
  KSPROPERTY property = MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET);
  *count = 0;
  return Property(handle_, &property, sizeof property, count, sizeof *count, nullptr);
}

NTSTATUS KsFilter::GetPin(ULONG pinId, KsPinInfo* info) {
  *info = KsPinInfo{};
  info->id = pinId;
  std::vector<uint8_t> value;
  NTSTATUS status = PinProperty(KSPROPERTY_PIN_DATAFLOW, pinId, &value);
  if (!NT_SUCCESS(status) || value.size() < sizeof(KSPIN_DATAFLOW)) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  std::memcpy(&info->dataFlow, value.data(), sizeof info->dataFlow);
  status = PinProperty(KSPROPERTY_PIN_COMMUNICATION, pinId, &value);
  if (!NT_SUCCESS(status)) return status;
  if (value.size() >= sizeof(KSPIN_COMMUNICATION)) std::memcpy(&info->communication, value.data(), sizeof info->communication);
  if (NT_SUCCESS(PinProperty(KSPROPERTY_PIN_CATEGORY, pinId, &value)) && value.size() >= sizeof(GUID)) {
    info->hasCategory = true;
    std::memcpy(&info->category, value.data(), sizeof(GUID));
  }
  if (NT_SUCCESS(PinProperty(KSPROPERTY_PIN_CINSTANCES, pinId, &value)) && value.size() >= sizeof(KSPIN_CINSTANCES)) {
    std::memcpy(&info->instances, value.data(), sizeof(KSPIN_CINSTANCES));
  }
  if (NT_SUCCESS(PinProperty(KSPROPERTY_PIN_GLOBALCINSTANCES, pinId, &value)) &&
      value.size() >= sizeof(KSPIN_CINSTANCES)) {
    std::memcpy(&info->globalInstances, value.data(), sizeof(KSPIN_CINSTANCES));
  }
  status = PinProperty(KSPROPERTY_PIN_DATARANGES, pinId, &value);
  if (!NT_SUCCESS(status)) return status;
  if (value.size() >= sizeof(KSMULTIPLE_ITEM)) {
    KSMULTIPLE_ITEM header;
    std::memcpy(&header, value.data(), sizeof header);
    size_t offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < header.Count && offset + sizeof(KSDATARANGE) <= value.size(); ++i) {
      KSDATARANGE range;
      std::memcpy(&range, value.data() + offset, sizeof range);
      if (range.FormatSize < sizeof(KSDATARANGE) || offset + range.FormatSize > value.size()) break;
      info->ranges.emplace_back(value.begin() + static_cast<long>(offset),
                                value.begin() + static_cast<long>(offset + range.FormatSize));
      offset += (range.FormatSize + 7) & ~7u;  // ranges are 8-byte aligned in the list
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS KsFilter::Nodes(std::vector<GUID>* types) {
  KSPROPERTY property = MakeProperty(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, KSPROPERTY_TYPE_GET);
  std::vector<uint8_t> value;
  NTSTATUS status = VariableProperty(&property, sizeof property, &value);
  types->clear();
  if (!NT_SUCCESS(status) || value.size() < sizeof(KSMULTIPLE_ITEM)) return status;
  KSMULTIPLE_ITEM header;
  std::memcpy(&header, value.data(), sizeof header);
  for (ULONG i = 0; i < header.Count && sizeof header + (i + 1) * sizeof(GUID) <= value.size(); ++i) {
    GUID g;
    std::memcpy(&g, value.data() + sizeof header + i * sizeof(GUID), sizeof g);
    types->push_back(g);
  }
  return status;
}

NTSTATUS KsFilter::Connections(std::vector<KSTOPOLOGY_CONNECTION>* connections) {
  KSPROPERTY property = MakeProperty(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, KSPROPERTY_TYPE_GET);
  std::vector<uint8_t> value;
  NTSTATUS status = VariableProperty(&property, sizeof property, &value);
  connections->clear();
  if (!NT_SUCCESS(status) || value.size() < sizeof(KSMULTIPLE_ITEM)) return status;
  KSMULTIPLE_ITEM header;
  std::memcpy(&header, value.data(), sizeof header);
  for (ULONG i = 0; i < header.Count && sizeof header + (i + 1) * sizeof(KSTOPOLOGY_CONNECTION) <= value.size(); ++i) {
    KSTOPOLOGY_CONNECTION c;
    std::memcpy(&c, value.data() + sizeof header + i * sizeof c, sizeof c);
    connections->push_back(c);
  }
  return status;
}

NTSTATUS KsFilter::Intersect(ULONG pinId, ULONG channels, ULONG bits, ULONG rate, std::vector<uint8_t>* format) {
  struct {
    KSP_PIN pin;
    KSMULTIPLE_ITEM list;
    KSDATARANGE_AUDIO range;
  } request{};
  request.pin.Property = MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET);
  request.pin.PinId = pinId;
  request.list.Size = sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO);
  request.list.Count = 1;
  request.range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  request.range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  request.range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  request.range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  request.range.MaximumChannels = channels;
  request.range.MinimumBitsPerSample = bits;
  request.range.MaximumBitsPerSample = bits;
  request.range.MinimumSampleFrequency = rate;
  request.range.MaximumSampleFrequency = rate;
  return VariableProperty(&request, sizeof request, format);
}

std::vector<uint8_t> KsFilter::PcmFormat(ULONG channels, ULONG bits, ULONG rate, ULONG containerBits) {
  if (containerBits == 0) containerBits = (bits + 7) / 8 * 8;
  struct {
    KSDATAFORMAT header;
    WAVEFORMATEXTENSIBLE wave;
  } format{};
  format.header.FormatSize = sizeof format;
  format.header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  format.header.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  format.header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  format.wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.wave.Format.nChannels = static_cast<WORD>(channels);
  format.wave.Format.nSamplesPerSec = rate;
  format.wave.Format.wBitsPerSample = static_cast<WORD>(containerBits);
  format.wave.Format.nBlockAlign = static_cast<WORD>(channels * containerBits / 8);
  format.wave.Format.nAvgBytesPerSec = rate * format.wave.Format.nBlockAlign;
  format.wave.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  format.wave.Samples.wValidBitsPerSample = static_cast<WORD>(bits);
  format.wave.dwChannelMask = channels == 2 ? 3 : 0;
  format.wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  format.header.SampleSize = format.wave.Format.nBlockAlign;
  std::vector<uint8_t> bytes(sizeof format);
  std::memcpy(bytes.data(), &format, sizeof format);
  return bytes;
}

NTSTATUS KsFilter::CreatePin(ULONG pinId, const std::vector<uint8_t>& format, KsPin* pin) {
  std::vector<uint8_t> connect(sizeof(KSPIN_CONNECT) + format.size());
  KSPIN_CONNECT header{};
  header.Interface.Set = KSINTERFACESETID_Standard;
  header.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  header.Medium.Set = KSMEDIUMSETID_Standard;
  header.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  header.PinId = pinId;
  header.Priority.PriorityClass = KSPRIORITY_NORMAL;
  header.Priority.PrioritySubClass = 1;
  std::memcpy(connect.data(), &header, sizeof header);
  if (!format.empty()) std::memcpy(connect.data() + sizeof header, format.data(), format.size());
  pin->Close();
  return platform::KsCreatePin(handle_, connect.data(), static_cast<ULONG>(connect.size()), &pin->handle_);
}

NTSTATUS KsFilter::GetNodeValue(ULONG propertyId, ULONG node, LONG channel, LONG* value) {
  KSNODEPROPERTY_AUDIO_CHANNEL property{};
  property.NodeProperty.Property = MakeProperty(KSPROPSETID_Audio, propertyId, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY);
  property.NodeProperty.NodeId = node;
  property.Channel = channel;
  return Property(handle_, &property, sizeof property, value, sizeof *value, nullptr);
}

NTSTATUS KsFilter::SetNodeValue(ULONG propertyId, ULONG node, LONG channel, LONG value) {
  KSNODEPROPERTY_AUDIO_CHANNEL property{};
  property.NodeProperty.Property = MakeProperty(KSPROPSETID_Audio, propertyId, KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY);
  property.NodeProperty.NodeId = node;
  property.Channel = channel;
  return Property(handle_, &property, sizeof property, &value, sizeof value, nullptr);
}

}  // namespace sim
