// CMiniportWaveCyclicUsbAudio: the WaveCyclic miniport of the device's one
// wave filter. It hands the port library the filter description the adapter
// built, negotiates formats, creates at most one stream per direction, owns
// the service group that tells the port time has advanced, and offers the
// adapter its private interface. Every device action goes through the
// adapter's IAdapterCommon.
#pragma once

#include "driver/core/adapter_common.h"
#include "driver/runtime/com_unknown.h"
#include "driver/runtime/kernel_prelude.h"
#include "driver/port/miniport_private.h"

class CMiniportWaveCyclicStreamUsbAudio;

class CMiniportWaveCyclicUsbAudio : public IMiniportWaveCyclicUsbAudio,
                                    public IMiniportWaveCyclic,
                                    public IPowerNotify,
                                    public CPoolUnknown {
public:
    DECLARE_STD_UNKNOWN();
    explicit CMiniportWaveCyclicUsbAudio(PUNKNOWN outerUnknown);
    ~CMiniportWaveCyclicUsbAudio() override;

    // IMiniportWaveCyclic
    STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* Description) override;
    STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                                  ULONG OutputBufferLength, PVOID ResultantFormat,
                                                  PULONG ResultantFormatLength) override;
    STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port) override;
    STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                                      ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
                                      PSERVICEGROUP* ServiceGroup) override;

    // IPowerNotify
    STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE PowerState) override;

    // IMiniportWaveCyclicUsbAudio
    STDMETHODIMP_(VOID) TimingNotification(BOOLEAN Capture) override;
    STDMETHODIMP_(ULONG) SetRenderPosition(PVOID Address) override;
    STDMETHODIMP_(ULONG) SetCapturePosition(PVOID Address) override;
    STDMETHODIMP_(VOID) ClearBuffer(BOOLEAN Capture) override;
    STDMETHODIMP_(BOOLEAN) IsStreamActive(BOOLEAN Capture) override;
    STDMETHODIMP_(VOID) BufferToggle() override;
    STDMETHODIMP_(VOID) OutputReady() override;
    STDMETHODIMP_(VOID) Silence(BOOLEAN Capture, PVOID Buffer, ULONG ByteCount) override;
    STDMETHODIMP_(VOID) OutputDelay(ULONG Frames) override;
    STDMETHODIMP_(ULONG) AdvanceRenderPosition(ULONG ByteCount) override;
    STDMETHODIMP_(CMiniportWaveCyclicStreamUsbAudio*) ReportStreamError(BOOLEAN Capture, NTSTATUS Status) override;

    // For the streams and the property handlers.
    IAdapterCommon* GetAdapter() const { return Adapter; }
    VOID NotifyPort();
    VOID ClearToggleGuard() { InterlockedExchange(&ToggleGuard, 0); }
    VOID StreamClosing(CMiniportWaveCyclicStreamUsbAudio* stream);
    CMiniportWaveCyclicStreamUsbAudio* GetStream(BOOLEAN capture) const { return capture ? CaptureStream : RenderStream; }
    DEVICE_POWER_STATE GetPowerState() const { return PowerState; }
    // The direction of a pin, from the USB streaming terminal on its signal path.
    BOOLEAN IsCapturePin(ULONG PinId);

private:
    VOID ReleaseReferences();
    // BufferToggle's body, StreamPointerLock held.
    VOID ToggleRenderLocked();

    IAdapterCommon* Adapter = NULL;
    PPCFILTER_DESCRIPTOR FilterDescriptor = NULL;
    PPORTWAVECYCLIC Port = NULL;
    PSERVICEGROUP ServiceGroup = NULL;
    CMiniportWaveCyclicStreamUsbAudio* CaptureStream = NULL;
    CMiniportWaveCyclicStreamUsbAudio* RenderStream = NULL;
    // Held to publish or withdraw a stream pointer, and by every use of the
    // OTHER direction's stream from a streaming context (the capture side
    // signalling the render stream's event, the render side reading the
    // capture half, device-gone reports): a pin may close while the other
    // direction streams, and must not be touched once it has withdrawn.
    KSPIN_LOCK StreamPointerLock;
    volatile LONG ToggleGuard = 0;
    DEVICE_POWER_STATE PowerState = PowerDeviceUnspecified;
};

// Creates the miniport (pool tag "PcCr") with one reference on the returned
// interface; STATUS_INSUFFICIENT_RESOURCES without memory.
NTSTATUS CreateMiniportWaveCyclicUsbAudio(PMINIPORTWAVECYCLIC* Miniport, PUNKNOWN OuterUnknown, POOL_TYPE PoolType);
