// Filter and pin instances of the wave-cyclic port: opening the filter by
// its subdevice name, creating a pin from KSPIN_CONNECT + data format (the
// connect request checks of KS, the pin's instance limits, the miniport's
// NewStream, the stream's cyclic buffer), state stepping and closing.
#include <wdm.h>
#include <ksmedia.h>

#include <new>

#include "platform/kernel/device_interfaces.h"
#include "platform/kernel/portcls_internal.h"

namespace platform::portcls {

bool GuidMatches(const GUID& range, const GUID& format) {
  return IsEqualGUID(range, GUID_NULL) || IsEqualGUID(range, format);
}

// The wave format inside an audio data format, if it carries one.
bool WaveFormatOf(const KSDATAFORMAT* f, ULONG length, WAVEFORMATEX* wave) {
  ULONG offset;
  if (IsEqualGUID(f->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
    offset = sizeof(KSDATAFORMAT);
  else if (IsEqualGUID(f->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND))
    offset = sizeof(KSDATAFORMAT) + 2 * sizeof(ULONG);  // after the buffer description's flags and control
  else
    return false;
  if (length < offset + sizeof(WAVEFORMATEX)) return false;
  memcpy(wave, reinterpret_cast<const UCHAR*>(f) + offset, sizeof *wave);
  return true;
}

namespace {

bool FormatInRange(const KSDATARANGE* r, const KSDATAFORMAT* f, ULONG length) {
  if (!GuidMatches(r->MajorFormat, f->MajorFormat) || !GuidMatches(r->SubFormat, f->SubFormat) ||
      !GuidMatches(r->Specifier, f->Specifier))
    return false;
  WAVEFORMATEX wave;
  if (r->FormatSize >= sizeof(KSDATARANGE_AUDIO) && IsEqualGUID(r->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
      WaveFormatOf(f, length, &wave)) {
    const KSDATARANGE_AUDIO* a = reinterpret_cast<const KSDATARANGE_AUDIO*>(r);
    if (wave.nChannels == 0 || wave.nChannels > a->MaximumChannels) return false;
    if (wave.wBitsPerSample < a->MinimumBitsPerSample || wave.wBitsPerSample > a->MaximumBitsPerSample) return false;
    if (wave.nSamplesPerSec < a->MinimumSampleFrequency || wave.nSamplesPerSec > a->MaximumSampleFrequency)
      return false;
  }
  return true;
}

}  // namespace

// Sizes inside a data format must agree with its FormatSize.
bool FormatSizeConsistent(const KSDATAFORMAT* f, ULONG length) {
  if (f->FormatSize < sizeof(KSDATAFORMAT) || f->FormatSize > length) return false;
  if (!IsEqualGUID(f->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) return true;
  WAVEFORMATEX wave;
  if (!WaveFormatOf(f, f->FormatSize, &wave)) return false;
  if (sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX) + wave.cbSize > f->FormatSize) return false;
  return wave.wFormatTag != WAVE_FORMAT_EXTENSIBLE || wave.cbSize >= sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
}

namespace {

bool SameIdentifier(const KSIDENTIFIER& a, const KSIDENTIFIER& b) {
  return IsEqualGUID(a.Set, b.Set) && a.Id == b.Id;
}

// The pin's interfaces or mediums, or KS's standard one when it lists none.
bool Offers(const KSIDENTIFIER* list, ULONG count, const GUID& standardSet, ULONG standardId,
            const KSIDENTIFIER& wanted) {
  if (count == 0) return IsEqualGUID(wanted.Set, standardSet) && wanted.Id == standardId;
  for (ULONG i = 0; i < count; ++i)
    if (SameIdentifier(list[i], wanted)) return true;
  return false;
}

bool Within(ULONG current, ULONG limit) { return limit == KSINSTANCE_INDETERMINATE || current < limit; }

// "\{146F1A80-...}\<create parameters>": the parameters, or null.
const UCHAR* PinCreateParameters(PFILE_OBJECT file, ULONG* length) {
  const WCHAR* name = file->FileName.Buffer;
  ULONG bytes = file->FileName.Length;
  if (!name) return nullptr;
  if (bytes >= sizeof(WCHAR) && name[0] == L'\\') {
    name++;
    bytes -= sizeof(WCHAR);
  }
  std::u16string prefix = ToU16(KSSTRING_Pin) + u"\\";
  if (bytes < prefix.size() * sizeof(WCHAR)) return nullptr;
  if (!EqualNoCase(std::u16string(reinterpret_cast<const char16_t*>(name), prefix.size()), prefix)) return nullptr;
  *length = bytes - static_cast<ULONG>(prefix.size() * sizeof(WCHAR));
  return reinterpret_cast<const UCHAR*>(name + prefix.size());
}

void ReleaseStreamObjects(PinInstance* pin) {
  if (pin->group) {
    pin->group->RemoveMember(pin);
    pin->group->Release();
    pin->group = nullptr;
  }
  PDMACHANNEL dma = pin->dma;
  PMINIPORTWAVECYCLICSTREAM stream = pin->stream;
  KIRQL irql;
  KeAcquireSpinLock(&pin->lock, &irql);
  pin->dma = nullptr;
  pin->stream = nullptr;
  KeReleaseSpinLock(&pin->lock, irql);
  if (dma) dma->Release();
  if (stream) stream->Release();
}

}  // namespace

bool FormatMatchesPin(const PCPIN_DESCRIPTOR* pin, const KSDATAFORMAT* format, ULONG formatLength) {
  const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
  for (ULONG i = 0; i < ks.DataRangesCount; ++i)
    if (ks.DataRanges[i] && FormatInRange(ks.DataRanges[i], format, formatLength)) return true;
  return false;
}

NTSTATUS CreateFilter(PortDevice* device, PFILE_OBJECT file) {
  std::u16string name = ToU16(&file->FileName);
  if (!name.empty() && name[0] == u'\\') name.erase(0, 1);
  CPortWaveCyclic* port = nullptr;
  {
    std::lock_guard<std::mutex> lock(device->lock);
    for (auto& s : device->subdevices) {
      if (EqualNoCase(s.name, name)) {
        port = s.port;
        port->AddRef();
      }
    }
  }
  if (!port) return STATUS_OBJECT_NAME_NOT_FOUND;
  void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FilterInstance), kTagFilter);
  if (!memory) {
    port->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  FilterInstance* filter = new (memory) FilterInstance();
  filter->device = device;
  filter->port = port;
  filter->instances.assign(port->Descriptor()->PinCount, 0);
  file->FsContext = &filter->kind;
  file->FsContext2 = filter;
  return STATUS_SUCCESS;
}

void CloseFilter(FilterInstance* filter) {
  if (filter->openPins)
    detail::BugCheckAt(USBAUDIO_CALLER(), "PORTCLS_FILTER_CLOSED_WITH_PINS", "filter %p closed with %u pins open",
                       static_cast<void*>(filter), filter->openPins);
  filter->port->Release();
  filter->~FilterInstance();
  ExFreePoolWithTag(filter, kTagFilter);
}

NTSTATUS CreatePin(FilterInstance* filter, PFILE_OBJECT file) {
  ULONG length = 0;
  const UCHAR* parameters = PinCreateParameters(file, &length);
  if (!parameters) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (length < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) return STATUS_INVALID_BUFFER_SIZE;
  KSPIN_CONNECT connect;
  memcpy(&connect, parameters, sizeof connect);
  ULONG formatLength = length - static_cast<ULONG>(sizeof connect);
  std::vector<ULONGLONG> format((formatLength + 7) / 8);
  memcpy(format.data(), parameters + sizeof connect, formatLength);
  const KSDATAFORMAT* dataFormat = reinterpret_cast<const KSDATAFORMAT*>(format.data());
  if (!FormatSizeConsistent(dataFormat, formatLength)) return STATUS_INVALID_BUFFER_SIZE;
  formatLength = dataFormat->FormatSize;

  std::lock_guard<std::mutex> control(filter->control);
  CPortWaveCyclic* port = filter->port;
  const PCFILTER_DESCRIPTOR* desc = port->Descriptor();
  if (!port->Miniport()) return STATUS_DEVICE_NOT_READY;
  if (connect.PinId >= desc->PinCount) return STATUS_INVALID_PARAMETER;
  const PCPIN_DESCRIPTOR* pd = PinDescriptor(desc, connect.PinId);
  const KSPIN_DESCRIPTOR& ks = pd->KsPinDescriptor;
  if (ks.Communication != KSPIN_COMMUNICATION_SINK && ks.Communication != KSPIN_COMMUNICATION_BOTH)
    return STATUS_INVALID_DEVICE_REQUEST;
  if (!Offers(ks.Interfaces, ks.InterfacesCount, KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING,
              connect.Interface) ||
      !Offers(ks.Mediums, ks.MediumsCount, KSMEDIUMSETID_Standard, KSMEDIUM_STANDARD_DEVIO, connect.Medium))
    return STATUS_NO_MATCH;
  if (!FormatMatchesPin(pd, dataFormat, formatLength)) return STATUS_NO_MATCH;
  {
    std::lock_guard<std::mutex> lock(port->countLock);
    if (!Within(filter->instances[connect.PinId], pd->MaxFilterInstanceCount) ||
        !Within(port->globalInstances[connect.PinId], pd->MaxGlobalInstanceCount))
      return STATUS_INSUFFICIENT_RESOURCES;
    filter->instances[connect.PinId]++;
    port->globalInstances[connect.PinId]++;
  }
  auto unreserve = [&] {
    std::lock_guard<std::mutex> lock(port->countLock);
    filter->instances[connect.PinId]--;
    port->globalInstances[connect.PinId]--;
  };

  PinInstance* pin = new (kTagPin) PinInstance();
  if (!pin) {
    unreserve();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  pin->AddRef();
  pin->filter = filter;
  pin->pinId = connect.PinId;
  pin->capture = ks.DataFlow == KSPIN_DATAFLOW_OUT;
  pin->format = format;
  PMINIPORTWAVECYCLICSTREAM stream = NULL;
  PDMACHANNEL dma = NULL;
  PSERVICEGROUP group = NULL;
  NTSTATUS status = port->Miniport()->NewStream(&stream, NULL, NonPagedPool, connect.PinId, pin->capture,
                                                reinterpret_cast<PKSDATAFORMAT>(pin->format.data()), &dma, &group);
  if (NT_SUCCESS(status) && (!stream || !dma))
    detail::BugCheckAt(USBAUDIO_CALLER(), "PORTCLS_MINIPORT_INVALID", "NewStream succeeded without %s",
                       stream ? "a DMA channel" : "a stream");
  pin->stream = stream;
  pin->dma = dma;
  pin->group = group;
  if (NT_SUCCESS(status) && dma->AllocatedBufferSize() == 0)
    status = dma->AllocateBuffer(dma->MaximumBufferSize(), NULL);
  if (NT_SUCCESS(status)) {
    pin->notificationFrameSize = 0;
    stream->SetNotificationFreq(kNotificationIntervalMs, &pin->notificationFrameSize);
    if (group) status = group->AddMember(pin);
    if (!NT_SUCCESS(status) && group) {
      group->Release();
      pin->group = nullptr;
    }
  }
  if (!NT_SUCCESS(status)) {
    ReleaseStreamObjects(pin);
    pin->Release();
    unreserve();
    return status;
  }
  filter->openPins++;
  file->FsContext = &pin->kind;
  file->FsContext2 = pin;
  return STATUS_SUCCESS;
}

NTSTATUS StepState(PinInstance* pin, KSSTATE target) {
  while (pin->state != target) {
    const KSSTATE from = pin->state;
    const KSSTATE next = static_cast<KSSTATE>(from < target ? from + 1 : from - 1);
    KIRQL irql;
    if (from == KSSTATE_RUN) {
      // Servicing ends before the stream leaves RUN: taking the lock waits
      // for a pass in progress, and later passes see the new state.
      KeAcquireSpinLock(&pin->lock, &irql);
      pin->state = next;
      KeReleaseSpinLock(&pin->lock, irql);
    }
    const NTSTATUS status = pin->stream->SetState(next);
    KeAcquireSpinLock(&pin->lock, &irql);
    if (!NT_SUCCESS(status)) {
      pin->state = from;
      KeReleaseSpinLock(&pin->lock, irql);
      return status;
    }
    pin->state = next;
    // Render data is in the buffer before the stream runs; a stopped
    // stream starts again at the buffer's beginning.
    if (next == KSSTATE_PAUSE && from == KSSTATE_ACQUIRE && !pin->capture) pin->MoveData();
    if (next == KSSTATE_STOP) pin->ResetData();
    KeReleaseSpinLock(&pin->lock, irql);
    pin->CompleteFinished();
  }
  return STATUS_SUCCESS;
}

void ClosePin(PinInstance* pin) {
  FilterInstance* filter = pin->filter;
  {
    std::lock_guard<std::mutex> control(filter->control);
    (void)StepState(pin, KSSTATE_STOP);  // a refusal cannot keep a closed pin open
    KIRQL irql;
    KeAcquireSpinLock(&pin->lock, &irql);
    pin->state = KSSTATE_STOP;
    KeReleaseSpinLock(&pin->lock, irql);
    // Out of the service group first: after that no service pass reaches
    // the pin, and none is still running in it.
    ReleaseStreamObjects(pin);
    {
      std::lock_guard<std::mutex> lock(filter->port->countLock);
      filter->instances[pin->pinId]--;
      filter->port->globalInstances[pin->pinId]--;
    }
    filter->openPins--;
  }
  pin->Release();
}

STDMETHODIMP_(NTSTATUS) PinInstance::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
  if (IsEqualGUID(iid, IID_IUnknown)) {
    *out = PVOID(PUNKNOWN(static_cast<INonDelegatingUnknown*>(this)));
  } else if (IsEqualGUID(iid, IID_IServiceSink)) {
    *out = PVOID(static_cast<IServiceSink*>(this));
  } else {
    *out = NULL;
    return STATUS_INVALID_PARAMETER;
  }
  PUNKNOWN(*out)->AddRef();
  return STATUS_SUCCESS;
}

}  // namespace platform::portcls
