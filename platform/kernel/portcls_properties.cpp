// The port's own property sets: KSPROPSETID_Pin and KSPROPSETID_Topology on
// the filter (answered from the filter description), KSPROPSETID_Connection
// and the audio position on pins. Everything else goes to the driver's
// automation tables (filter, pin, node).
#include <wdm.h>
#include <ksmedia.h>

#include <cstdio>

#include "platform/kernel/device_interfaces.h"
#include "platform/kernel/portcls_internal.h"
#include "platform/kernel/registry.h"

namespace platform::portcls {

namespace {

constexpr ULONG kGet = KSPROPERTY_TYPE_GET;
constexpr ULONG kSet = KSPROPERTY_TYPE_SET;

ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

// The verb is one the item offers; BASICSUPPORT and SETSUPPORT are
// answered here (*handled = true).
NTSTATUS CheckVerb(PropertyCall& call, ULONG access, bool* handled) {
  *handled = true;
  switch (call.Verb()) {
    case KSPROPERTY_TYPE_BASICSUPPORT: return DefaultBasicSupport(call, access);
    case KSPROPERTY_TYPE_SETSUPPORT: return STATUS_SUCCESS;
    case KSPROPERTY_TYPE_GET:
    case KSPROPERTY_TYPE_SET:
      if (call.Verb() & access) {
        *handled = false;
        return STATUS_SUCCESS;
      }
      return STATUS_INVALID_DEVICE_REQUEST;
    default: return STATUS_INVALID_DEVICE_REQUEST;
  }
}

// A KSMULTIPLE_ITEM header followed by the items, each padded to 8 bytes
// when `pad` (data ranges) and packed otherwise.
struct MultipleItem {
  std::vector<UCHAR> bytes = std::vector<UCHAR>(sizeof(KSMULTIPLE_ITEM));
  ULONG count = 0;
  void Add(const void* item, ULONG size, bool pad) {
    size_t at = bytes.size();
    bytes.resize(at + (pad ? Align8(size) : size));
    memcpy(bytes.data() + at, item, size);
    count++;
  }
  NTSTATUS Return(PropertyCall& call) {
    KSMULTIPLE_ITEM header{static_cast<ULONG>(bytes.size()), count};
    memcpy(bytes.data(), &header, sizeof header);
    return ReturnData(call, bytes.data(), static_cast<ULONG>(bytes.size()));
  }
};

std::u16string GuidKeyName(const GUID& g) {
  char s[48];
  snprintf(s, sizeof s, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3, g.Data4[0],
           g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  std::u16string out;
  for (const char* p = s; *p; ++p) out.push_back(static_cast<char16_t>(*p));
  return out;
}

// Friendly names of categories and nodes live under MediaCategories.
NTSTATUS ReturnName(PropertyCall& call, const GUID* name, const GUID* fallback) {
  const GUID* ids[] = {name, fallback};
  for (const GUID* id : ids) {
    if (!id) continue;
    RegistryValue value;
    if (RegistryGetValue(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\MediaCategories\\" + GuidKeyName(*id),
                         u"Name", &value) &&
        value.type == REG_SZ)
      return ReturnData(call, value.data.data(), static_cast<ULONG>(value.data.size()));
  }
  return STATUS_NOT_FOUND;
}

NTSTATUS ReturnIdentifiers(PropertyCall& call, const KSIDENTIFIER* list, ULONG count, const GUID& standardSet,
                           ULONG standardId) {
  MultipleItem items;
  if (count == 0) {
    KSIDENTIFIER standard{};
    standard.Set = standardSet;
    standard.Id = standardId;
    items.Add(&standard, sizeof standard, false);
  }
  for (ULONG i = 0; i < count; ++i) items.Add(&list[i], sizeof list[i], false);
  return items.Return(call);
}

// The port's intersection for a miniport that leaves it to the port:
// the highest rate, bits and channel count both audio ranges allow.
NTSTATUS DefaultIntersection(const KSDATARANGE* client, const KSDATARANGE* own, PropertyCall& call) {
  if (client->FormatSize < sizeof(KSDATARANGE_AUDIO) || own->FormatSize < sizeof(KSDATARANGE_AUDIO) ||
      !IsEqualGUID(own->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
    return STATUS_NO_MATCH;
  const KSDATARANGE_AUDIO* a = reinterpret_cast<const KSDATARANGE_AUDIO*>(client);
  const KSDATARANGE_AUDIO* b = reinterpret_cast<const KSDATARANGE_AUDIO*>(own);
  ULONG channels = a->MaximumChannels < b->MaximumChannels ? a->MaximumChannels : b->MaximumChannels;
  ULONG rate = a->MaximumSampleFrequency < b->MaximumSampleFrequency ? a->MaximumSampleFrequency
                                                                     : b->MaximumSampleFrequency;
  ULONG bits = a->MaximumBitsPerSample < b->MaximumBitsPerSample ? a->MaximumBitsPerSample : b->MaximumBitsPerSample;
  if (!channels || rate < a->MinimumSampleFrequency || rate < b->MinimumSampleFrequency ||
      bits < a->MinimumBitsPerSample || bits < b->MinimumBitsPerSample)
    return STATUS_NO_MATCH;
  KSDATAFORMAT_WAVEFORMATEX f{};
  memcpy(&f.DataFormat, own, sizeof(KSDATAFORMAT));
  f.DataFormat.FormatSize = sizeof f;
  f.WaveFormatEx.wFormatTag = WAVE_FORMAT_PCM;
  f.WaveFormatEx.nChannels = static_cast<WORD>(channels);
  f.WaveFormatEx.nSamplesPerSec = rate;
  f.WaveFormatEx.wBitsPerSample = static_cast<WORD>(bits);
  f.WaveFormatEx.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.WaveFormatEx.nAvgBytesPerSec = rate * f.WaveFormatEx.nBlockAlign;
  f.DataFormat.SampleSize = f.WaveFormatEx.nBlockAlign;
  return ReturnData(call, &f, sizeof f);
}

NTSTATUS DataIntersection(CPortWaveCyclic* port, ULONG pinId, PropertyCall& call) {
  const KSPIN_DESCRIPTOR& ks = PinDescriptor(port->Descriptor(), pinId)->KsPinDescriptor;
  if (call.inputLength < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM)) return STATUS_INVALID_BUFFER_SIZE;
  KSMULTIPLE_ITEM header;
  memcpy(&header, call.input + sizeof(KSP_PIN), sizeof header);
  if (header.Size < sizeof header || header.Size > call.inputLength - sizeof(KSP_PIN)) return STATUS_INVALID_BUFFER_SIZE;
  // Copied so every range is 8-byte aligned, as KS hands them out.
  std::vector<ULONGLONG> copy((header.Size + 7) / 8);
  memcpy(copy.data(), call.input + sizeof(KSP_PIN), header.Size);
  const UCHAR* at = reinterpret_cast<const UCHAR*>(copy.data()) + sizeof header;
  const UCHAR* end = reinterpret_cast<const UCHAR*>(copy.data()) + header.Size;
  for (ULONG n = 0; n < header.Count; ++n) {
    const KSDATARANGE* client = reinterpret_cast<const KSDATARANGE*>(at);
    if (end - at < static_cast<ptrdiff_t>(sizeof(KSDATARANGE)) || client->FormatSize < sizeof(KSDATARANGE) ||
        client->FormatSize > static_cast<ULONG>(end - at))
      return STATUS_INVALID_BUFFER_SIZE;
    for (ULONG i = 0; i < ks.DataRangesCount; ++i) {
      const KSDATARANGE* own = ks.DataRanges[i];
      if (!own || !GuidMatches(own->MajorFormat, client->MajorFormat) ||
          !GuidMatches(client->MajorFormat, own->MajorFormat) || !GuidMatches(own->SubFormat, client->SubFormat) ||
          !GuidMatches(client->SubFormat, own->SubFormat) || !GuidMatches(own->Specifier, client->Specifier) ||
          !GuidMatches(client->Specifier, own->Specifier))
        continue;
      ULONG resultLength = 0;
      NTSTATUS status = port->Miniport()->DataRangeIntersection(pinId, const_cast<PKSDATARANGE>(client),
                                                                const_cast<PKSDATARANGE>(own), call.valueLength,
                                                                call.value, &resultLength);
      if (status == STATUS_NOT_IMPLEMENTED) status = DefaultIntersection(client, own, call);
      else if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) call.information = resultLength;
      if (status != STATUS_NO_MATCH) return status;
    }
    at += Align8(client->FormatSize);
    if (at > end) at = end;
  }
  return STATUS_NO_MATCH;
}

NTSTATUS PinSet(FilterInstance* filter, PropertyCall& call) {
  CPortWaveCyclic* port = filter->port;
  const PCFILTER_DESCRIPTOR* desc = port->Descriptor();
  ULONG id = call.property.Id;
  ULONG access;
  switch (id) {
    case KSPROPERTY_PIN_CTYPES: case KSPROPERTY_PIN_CINSTANCES: case KSPROPERTY_PIN_GLOBALCINSTANCES:
    case KSPROPERTY_PIN_NECESSARYINSTANCES: case KSPROPERTY_PIN_DATAFLOW: case KSPROPERTY_PIN_COMMUNICATION:
    case KSPROPERTY_PIN_CATEGORY: case KSPROPERTY_PIN_NAME: case KSPROPERTY_PIN_DATARANGES:
    case KSPROPERTY_PIN_CONSTRAINEDDATARANGES: case KSPROPERTY_PIN_INTERFACES: case KSPROPERTY_PIN_MEDIUMS:
    case KSPROPERTY_PIN_DATAINTERSECTION: case KSPROPERTY_PIN_PHYSICALCONNECTION:
      access = kGet;
      break;
    case KSPROPERTY_PIN_PROPOSEDATAFORMAT: access = kSet; break;
    default: return STATUS_NOT_FOUND;
  }
  bool handled;
  NTSTATUS status = CheckVerb(call, access, &handled);
  if (handled) return status;
  if (id == KSPROPERTY_PIN_CTYPES) return ReturnData(call, &desc->PinCount, sizeof(ULONG));

  if (call.inputLength < sizeof(KSP_PIN)) return STATUS_INVALID_BUFFER_SIZE;
  KSP_PIN request;
  memcpy(&request, call.input, sizeof request);
  if (request.PinId >= desc->PinCount) return STATUS_INVALID_PARAMETER;
  const PCPIN_DESCRIPTOR* pin = PinDescriptor(desc, request.PinId);
  const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
  switch (id) {
    case KSPROPERTY_PIN_CINSTANCES: {
      std::lock_guard<std::mutex> lock(port->countLock);
      KSPIN_CINSTANCES c{pin->MaxFilterInstanceCount, filter->instances[request.PinId]};
      return ReturnData(call, &c, sizeof c);
    }
    case KSPROPERTY_PIN_GLOBALCINSTANCES: {
      std::lock_guard<std::mutex> lock(port->countLock);
      KSPIN_CINSTANCES c{pin->MaxGlobalInstanceCount, port->globalInstances[request.PinId]};
      return ReturnData(call, &c, sizeof c);
    }
    case KSPROPERTY_PIN_NECESSARYINSTANCES: return ReturnData(call, &pin->MinFilterInstanceCount, sizeof(ULONG));
    case KSPROPERTY_PIN_DATAFLOW: return ReturnData(call, &ks.DataFlow, sizeof(KSPIN_DATAFLOW));
    case KSPROPERTY_PIN_COMMUNICATION: return ReturnData(call, &ks.Communication, sizeof(KSPIN_COMMUNICATION));
    case KSPROPERTY_PIN_CATEGORY:
      if (!ks.Category) return STATUS_NOT_FOUND;
      return ReturnData(call, ks.Category, sizeof(GUID));
    case KSPROPERTY_PIN_NAME: return ReturnName(call, ks.Name, ks.Category);
    case KSPROPERTY_PIN_DATARANGES:
    case KSPROPERTY_PIN_CONSTRAINEDDATARANGES: {
      bool constrained = id == KSPROPERTY_PIN_CONSTRAINEDDATARANGES && ks.ConstrainedDataRangesCount;
      ULONG count = constrained ? ks.ConstrainedDataRangesCount : ks.DataRangesCount;
      const PKSDATARANGE* ranges = constrained ? ks.ConstrainedDataRanges : ks.DataRanges;
      MultipleItem items;
      for (ULONG i = 0; i < count; ++i)
        if (ranges[i]) items.Add(ranges[i], ranges[i]->FormatSize, true);
      return items.Return(call);
    }
    case KSPROPERTY_PIN_INTERFACES:
      return ReturnIdentifiers(call, ks.Interfaces, ks.InterfacesCount, KSINTERFACESETID_Standard,
                               KSINTERFACE_STANDARD_STREAMING);
    case KSPROPERTY_PIN_MEDIUMS:
      return ReturnIdentifiers(call, ks.Mediums, ks.MediumsCount, KSMEDIUMSETID_Standard, KSMEDIUM_STANDARD_DEVIO);
    case KSPROPERTY_PIN_DATAINTERSECTION: return DataIntersection(port, request.PinId, call);
    case KSPROPERTY_PIN_PROPOSEDATAFORMAT: {
      if (call.valueLength < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
      std::vector<ULONGLONG> format((call.valueLength + 7) / 8);
      memcpy(format.data(), call.value, call.valueLength);
      const KSDATAFORMAT* f = reinterpret_cast<const KSDATAFORMAT*>(format.data());
      if (!FormatSizeConsistent(f, call.valueLength)) return STATUS_INVALID_BUFFER_SIZE;
      return FormatMatchesPin(pin, f, f->FormatSize) ? STATUS_SUCCESS : STATUS_NO_MATCH;
    }
    default: return STATUS_NOT_FOUND;  // no physical connections are registered
  }
}

NTSTATUS TopologySet(CPortWaveCyclic* port, PropertyCall& call) {
  const PCFILTER_DESCRIPTOR* desc = port->Descriptor();
  ULONG id = call.property.Id;
  if (id > KSPROPERTY_TOPOLOGY_NAME) return STATUS_NOT_FOUND;
  bool handled;
  NTSTATUS status = CheckVerb(call, kGet, &handled);
  if (handled) return status;
  MultipleItem items;
  switch (id) {
    case KSPROPERTY_TOPOLOGY_CATEGORIES:
      if (desc->CategoryCount) {
        for (ULONG i = 0; i < desc->CategoryCount; ++i) items.Add(&desc->Categories[i], sizeof(GUID), false);
      } else {
        for (const GUID* g : {&KSCATEGORY_AUDIO, &KSCATEGORY_RENDER, &KSCATEGORY_CAPTURE}) items.Add(g, sizeof(GUID), false);
      }
      return items.Return(call);
    case KSPROPERTY_TOPOLOGY_NODES:
      for (ULONG i = 0; i < desc->NodeCount; ++i) {
        const GUID* type = NodeDescriptor(desc, i)->Type;
        items.Add(type ? type : &GUID_NULL, sizeof(GUID), false);
      }
      return items.Return(call);
    case KSPROPERTY_TOPOLOGY_CONNECTIONS:
      for (ULONG i = 0; i < desc->ConnectionCount; ++i)
        items.Add(&desc->Connections[i], sizeof(KSTOPOLOGY_CONNECTION), false);
      return items.Return(call);
    default: {
      if (call.inputLength < sizeof(KSP_NODE)) return STATUS_INVALID_BUFFER_SIZE;
      KSP_NODE request;
      memcpy(&request, call.input, sizeof request);
      if (request.NodeId >= desc->NodeCount) return STATUS_INVALID_PARAMETER;
      const PCNODE_DESCRIPTOR* node = NodeDescriptor(desc, request.NodeId);
      return ReturnName(call, node->Name, node->Type);
    }
  }
}

NTSTATUS ConnectionSet(PinInstance* pin, PropertyCall& call) {
  ULONG id = call.property.Id;
  if (id != KSPROPERTY_CONNECTION_STATE && id != KSPROPERTY_CONNECTION_DATAFORMAT) return STATUS_NOT_FOUND;
  bool handled;
  NTSTATUS status = CheckVerb(call, kGet | kSet, &handled);
  if (handled) return status;
  if (id == KSPROPERTY_CONNECTION_STATE) {
    if (call.Verb() == kGet) return ReturnData(call, &pin->state, sizeof(KSSTATE));
    if (call.valueLength < sizeof(KSSTATE)) return STATUS_BUFFER_TOO_SMALL;
    ULONG target;  // read as a number: the client may send anything
    memcpy(&target, call.value, sizeof target);
    if (target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
    return StepState(pin, static_cast<KSSTATE>(target));
  }
  const KSDATAFORMAT* current = reinterpret_cast<const KSDATAFORMAT*>(pin->format.data());
  if (call.Verb() == kGet) return ReturnData(call, current, current->FormatSize);
  if (call.valueLength < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
  std::vector<ULONGLONG> format((call.valueLength + 7) / 8);
  memcpy(format.data(), call.value, call.valueLength);
  const KSDATAFORMAT* f = reinterpret_cast<const KSDATAFORMAT*>(format.data());
  if (!FormatSizeConsistent(f, call.valueLength)) return STATUS_INVALID_BUFFER_SIZE;
  const PCPIN_DESCRIPTOR* pd = PinDescriptor(pin->filter->port->Descriptor(), pin->pinId);
  if (!FormatMatchesPin(pd, f, f->FormatSize)) return STATUS_NO_MATCH;
  status = pin->stream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(format.data()));
  if (NT_SUCCESS(status)) pin->format = format;
  return status;
}

// As portcls reports it for a wave-cyclic pin: a client that streams in KS
// stream requests sees byte counts from the start of the stream (played or
// recorded, and what it handed over or received); a looped client sees
// offsets within the cyclic buffer.
NTSTATUS AudioPosition(PinInstance* pin, PropertyCall& call) {
  bool handled;
  NTSTATUS status = CheckVerb(call, kGet, &handled);
  if (handled) return status;
  ULONG position = 0;
  status = pin->stream->GetPosition(&position);
  if (!NT_SUCCESS(status)) return status;
  KSAUDIO_POSITION p{position, position};
  KIRQL irql;
  KeAcquireSpinLock(&pin->lock, &irql);
  if (pin->streamingClient) {
    const ULONG size = pin->dma ? pin->dma->BufferSize() : 0;
    ULONGLONG passed = pin->streamBytes;
    // Since the last pass, unless stopped (the stream's position restarts).
    if (size && position < size && pin->state != KSSTATE_STOP)
      passed += pin->capture ? (position + size - pin->bufferOffset) % size
                             : (position + size - pin->lastStreamPosition) % size;
    p.PlayOffset = passed;
    p.WriteOffset = pin->submitted;
  }
  KeReleaseSpinLock(&pin->lock, irql);
  return ReturnData(call, &p, sizeof p);
}

}  // namespace

NTSTATUS FilterProperty(FilterInstance* filter, PropertyCall& call) {
  std::lock_guard<std::mutex> control(filter->control);
  CPortWaveCyclic* port = filter->port;
  if (!port->Miniport()) return STATUS_DEVICE_NOT_READY;
  if (call.property.Flags & KSPROPERTY_TYPE_TOPOLOGY) return NodeProperty(port, NULL, call);
  if (IsEqualGUID(call.property.Set, KSPROPSETID_Pin)) return PinSet(filter, call);
  if (IsEqualGUID(call.property.Set, KSPROPSETID_Topology)) return TopologySet(port, call);
  return DispatchAutomation(port->Descriptor()->AutomationTable, port->Miniport(), NULL, KSFILTER_NODE,
                            sizeof(KSPROPERTY), call);
}

NTSTATUS PinProperty(PinInstance* pin, PropertyCall& call) {
  std::lock_guard<std::mutex> control(pin->filter->control);
  CPortWaveCyclic* port = pin->filter->port;
  if (!port->Miniport() || !pin->stream) return STATUS_DEVICE_NOT_READY;
  if (call.property.Flags & KSPROPERTY_TYPE_TOPOLOGY) return NodeProperty(port, pin->stream, call);
  if (IsEqualGUID(call.property.Set, KSPROPSETID_Connection)) return ConnectionSet(pin, call);
  if (IsEqualGUID(call.property.Set, KSPROPSETID_Audio) && call.property.Id == KSPROPERTY_AUDIO_POSITION)
    return AudioPosition(pin, call);
  const PCPIN_DESCRIPTOR* pd = PinDescriptor(port->Descriptor(), pin->pinId);
  return DispatchAutomation(pd->AutomationTable, port->Miniport(), pin->stream, KSFILTER_NODE, sizeof(KSPROPERTY),
                            call);
}

}  // namespace platform::portcls
