// Stand-ins for the two neighbours of the wave miniport in unit tests: an
// adapter that records every IAdapterCommon call, and a wave-cyclic port
// that counts its Notify calls. Both count references so a test can see
// that the miniport and its streams hand back everything they took.
#pragma once

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "driver/core/adapter_common.h"
#include "driver/runtime/kernel_prelude.h"

namespace drivertest {

struct AdapterCall {
  std::string name;
  BOOLEAN capture = FALSE;
  ULONG a = 0, b = 0, c = 0;  // arguments (channels/bits/rate, length, frames ...)
  PVOID address = nullptr;
};

class FakeAdapter : public IAdapterCommon {
 public:
  std::atomic<LONG> references{1};
  std::vector<AdapterCall> calls;
  NTSTATUS startStatus = STATUS_SUCCESS;
  NTSTATUS runningStatus = STATUS_SUCCESS;
  NTSTATUS formatStatus = STATUS_SUCCESS;
  IMiniportWaveCyclicUsbAudio* miniport = nullptr;
  PCFILTER_DESCRIPTOR filter{};

  std::vector<AdapterCall> Calls(const std::string& name) const {
    std::vector<AdapterCall> out;
    for (const AdapterCall& c : calls)
      if (c.name == name) out.push_back(c);
    return out;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const AdapterCall& c : calls) out.push_back(c.name);
    return out;
  }

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID iid, PVOID* object) override {
    if (IsEqualGUID(iid, IID_IAdapterCommon) || IsEqualGUID(iid, IID_IUnknown)) {
      *object = static_cast<IAdapterCommon*>(this);
      AddRef();
      return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
  STDMETHODIMP_(ULONG) Release() override { return --references; }

  STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT, PDEVICE_OBJECT) override { return Record("Init"); }
  STDMETHODIMP_(VOID) SetWaveMiniport(IMiniportWaveCyclicUsbAudio* m) override { miniport = m; }
  STDMETHODIMP_(NTSTATUS) GetFormatRange(BOOLEAN, PULONG, PULONG, PULONG, PULONG, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(NTSTATUS) SetStreamFormat(BOOLEAN capture, ULONG ch, ULONG bits, ULONG rate) override {
    Record("SetStreamFormat", capture, ch, bits, rate);
    return formatStatus;
  }
  STDMETHODIMP_(NTSTATUS) SetStreamFormatNoFlush(BOOLEAN capture, ULONG ch, ULONG bits, ULONG rate) override {
    Record("SetStreamFormatNoFlush", capture, ch, bits, rate);
    return formatStatus;
  }
  STDMETHODIMP_(NTSTATUS) ClearStreamFormat(BOOLEAN capture) override { return Record("ClearStreamFormat", capture); }
  STDMETHODIMP_(NTSTATUS) StartStream(BOOLEAN capture) override {
    Record("StartStream", capture);
    return startStatus;
  }
  STDMETHODIMP_(NTSTATUS) PauseStream(BOOLEAN capture) override { return Record("PauseStream", capture); }
  STDMETHODIMP_(NTSTATUS) StopStream(BOOLEAN capture) override { return Record("StopStream", capture); }
  STDMETHODIMP_(NTSTATUS) SetStreamRunning(BOOLEAN capture) override {
    Record("SetStreamRunning", capture);
    return runningStatus;
  }
  STDMETHODIMP_(VOID) ClearStreamRunning(BOOLEAN capture) override { Record("ClearStreamRunning", capture); }
  STDMETHODIMP_(NTSTATUS) QueueRenderBuffer(PVOID address, ULONG length) override {
    AdapterCall c;
    c.name = "QueueRenderBuffer";
    c.address = address;
    c.a = length;
    calls.push_back(c);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) QueueCaptureBuffer(PVOID address, ULONG length) override {
    AdapterCall c;
    c.name = "QueueCaptureBuffer";
    c.capture = TRUE;
    c.address = address;
    c.a = length;
    calls.push_back(c);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(VOID) BufferToggle() override { Record("BufferToggle"); }
  STDMETHODIMP_(VOID) OutputReady() override { Record("OutputReady"); }
  STDMETHODIMP_(VOID) RenderNotify() override { Record("RenderNotify"); }
  STDMETHODIMP_(PPCFILTER_DESCRIPTOR) GetFilterDescriptor() override { return &filter; }
  STDMETHODIMP_(NTSTATUS) PropertyHandler_Node(PPCPROPERTY_REQUEST) override { return Record("PropertyHandler_Node"); }
  STDMETHODIMP_(VOID) OutputDelay(ULONG frames) override { Record("OutputDelay", FALSE, frames); }
  STDMETHODIMP_(NTSTATUS) GetPinRateRange(ULONG, BOOLEAN, ULONG, ULONG, ULONG, PULONG, PULONG) override {
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) SetDeviceMode(USHORT mode) override { return Record("SetDeviceMode", FALSE, mode); }

 private:
  NTSTATUS Record(const char* name, BOOLEAN capture = FALSE, ULONG a = 0, ULONG b = 0, ULONG c = 0) {
    AdapterCall call;
    call.name = name;
    call.capture = capture;
    call.a = a;
    call.b = b;
    call.c = c;
    calls.push_back(call);
    return STATUS_SUCCESS;
  }
};

class FakePort : public IPortWaveCyclic {
 public:
  std::atomic<LONG> references{1};
  std::atomic<int> notifications{0};
  PSERVICEGROUP notifiedGroup = nullptr;

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
  STDMETHODIMP_(ULONG) Release() override { return --references; }
  STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(NTSTATUS) GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(NTSTATUS) NewRegistryKey(PREGISTRYKEY*, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES, ULONG,
                                         PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(VOID) Notify(PSERVICEGROUP group) override {
    notifiedGroup = group;
    ++notifications;
  }
  STDMETHODIMP_(NTSTATUS) NewSlaveDmaChannel(PDMACHANNELSLAVE*, PUNKNOWN, PRESOURCELIST, ULONG, ULONG, BOOLEAN,
                                             DMA_SPEED) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(NTSTATUS) NewMasterDmaChannel(PDMACHANNEL*, PUNKNOWN, PRESOURCELIST, ULONG, BOOLEAN, BOOLEAN,
                                              DMA_WIDTH, DMA_SPEED) override {
    return STATUS_NOT_IMPLEMENTED;
  }
};

// A KS audio format with a WAVEFORMATEX right after the header, or, with
// the DirectSound specifier, after the buffer description's flags and
// control.
struct WaveDataFormat {
  alignas(8) UCHAR bytes[160] = {};

  WaveDataFormat(USHORT channels, USHORT bits, ULONG rate, bool dsound = false) {
    KSDATAFORMAT* header = Format();
    header->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    header->Specifier = dsound ? KSDATAFORMAT_SPECIFIER_DSOUND : KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    const size_t offset = sizeof(KSDATAFORMAT) + (dsound ? 8 : 0);
    WAVEFORMATEX wave{};
    wave.wFormatTag = 1;
    wave.nChannels = channels;
    wave.nSamplesPerSec = rate;
    wave.wBitsPerSample = bits;
    wave.nBlockAlign = static_cast<USHORT>(channels * bits / 8);
    wave.nAvgBytesPerSec = rate * wave.nBlockAlign;
    memcpy(bytes + offset, &wave, sizeof wave);
    header->FormatSize = static_cast<ULONG>(offset + sizeof(WAVEFORMATEX));
  }
  PKSDATAFORMAT Format() { return reinterpret_cast<PKSDATAFORMAT>(bytes); }
};

}  // namespace drivertest
