// CMiniportWaveCyclicUsbAudio: creation, interfaces, Init, streams, power and
// the private interface the adapter drives the streams through.
#include "driver/port/miniport.h"

#include "driver/runtime/pool_tags.h"
#include "driver/runtime/trace.h"
#include "driver/port/stream.h"

namespace {

VOID TraceInterfaceId(const char* what, REFIID iid) {
    UA_ERROR("%s {%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", what, (unsigned long)iid.Data1, iid.Data2,
             iid.Data3, iid.Data4[0], iid.Data4[1], iid.Data4[2], iid.Data4[3], iid.Data4[4], iid.Data4[5],
             iid.Data4[6], iid.Data4[7]);
}

}  // namespace

NTSTATUS CreateMiniportWaveCyclicUsbAudio(PMINIPORTWAVECYCLIC* Miniport, PUNKNOWN OuterUnknown, POOL_TYPE PoolType) {
    *Miniport = NULL;
    CMiniportWaveCyclicUsbAudio* miniport =
        new (PoolType, POOLTAG_ADAPTER) CMiniportWaveCyclicUsbAudio(OuterUnknown);
    if (miniport == NULL) {
        UA_ERROR("no memory for the wave miniport");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Miniport = miniport;
    (*Miniport)->AddRef();
    return STATUS_SUCCESS;
}

CMiniportWaveCyclicUsbAudio::CMiniportWaveCyclicUsbAudio(PUNKNOWN outerUnknown) : CPoolUnknown(outerUnknown) {
    KeInitializeSpinLock(&StreamPointerLock);
}

CMiniportWaveCyclicUsbAudio::~CMiniportWaveCyclicUsbAudio() {
    if (Adapter != NULL) {
        Adapter->SetWaveMiniport(NULL);
    }
    ReleaseReferences();
}

VOID CMiniportWaveCyclicUsbAudio::ReleaseReferences() {
    if (ServiceGroup != NULL) {
        ServiceGroup->Release();
        ServiceGroup = NULL;
    }
    if (Adapter != NULL) {
        Adapter->Release();
        Adapter = NULL;
    }
    if (Port != NULL) {
        Port->Release();
        Port = NULL;
    }
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicUsbAudio::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsSameInterface(iid, IID_IUnknown) || IsSameInterface(iid, IID_IMiniportWaveCyclicUsbAudio)) {
        *object = PVOID(static_cast<IMiniportWaveCyclicUsbAudio*>(this));
    } else if (IsSameInterface(iid, IID_IMiniport) || IsSameInterface(iid, IID_IMiniportWaveCyclic)) {
        *object = PVOID(static_cast<IMiniportWaveCyclic*>(this));
    } else if (IsSameInterface(iid, IID_IPowerNotify)) {
        *object = PVOID(static_cast<IPowerNotify*>(this));
    } else {
        *object = NULL;
        if (IsSameInterface(iid, IID_IPinCount)) {
            UA_TRACE("miniport: IPinCount not offered");
        } else {
            TraceInterfaceId("miniport: unknown interface", iid);
        }
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<PUNKNOWN>(*object)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicUsbAudio::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,
                                                          PPORTWAVECYCLIC PortIn) {
    if (UnknownAdapter == NULL || PortIn == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    Port = PortIn;
    Port->AddRef();
    NTSTATUS status = UnknownAdapter->QueryInterface(IID_IAdapterCommon, reinterpret_cast<PVOID*>(&Adapter));
    if (!NT_SUCCESS(status)) {
        UA_ERROR("miniport: the adapter offers no IAdapterCommon (0x%08lx)", (unsigned long)status);
        Adapter = NULL;
        ReleaseReferences();
        return status;
    }
    status = PcNewServiceGroup(&ServiceGroup, NULL);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("miniport: service group creation failed 0x%08lx", (unsigned long)status);
        ServiceGroup = NULL;
        ReleaseReferences();
        return status;
    }
    FilterDescriptor = Adapter->GetFilterDescriptor();
    CaptureStream = NULL;
    RenderStream = NULL;
    PowerState = PowerDeviceD0;
    Adapter->SetWaveMiniport(this);
    if (ResourceList != NULL) {
        UA_TRACE("miniport: %lu resources", (unsigned long)ResourceList->NumberOfEntries());
    } else {
        UA_TRACE("miniport: no resource list");
    }
    ClearToggleGuard();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicUsbAudio::GetDescription(PPCFILTER_DESCRIPTOR* Description) {
    *Description = FilterDescriptor;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicUsbAudio::NewStream(PMINIPORTWAVECYCLICSTREAM* Stream,
                                                               PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Pin,
                                                               BOOLEAN Capture, PKSDATAFORMAT DataFormat,
                                                               PDMACHANNEL* DmaChannel, PSERVICEGROUP* ServiceGroupOut) {
    UNREFERENCED_PARAMETER(PoolType);  // streams always live in non-paged pool
    *Stream = NULL;
    *DmaChannel = NULL;
    *ServiceGroupOut = NULL;
    if ((Capture ? CaptureStream : RenderStream) != NULL) {
        UA_ERROR("a %s stream is already open", Capture ? "capture" : "render");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ClearToggleGuard();
    CMiniportWaveCyclicStreamUsbAudio* stream =
        new (NonPagedPoolNx, POOLTAG_USB) CMiniportWaveCyclicStreamUsbAudio(OuterUnknown);
    if (stream == NULL) {
        UA_ERROR("no memory for a %s stream", Capture ? "capture" : "render");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    stream->NonDelegatingAddRef();
    const NTSTATUS status = stream->Init(this, Pin, Capture, DataFormat);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("%s stream initialisation failed 0x%08lx", Capture ? "capture" : "render", (unsigned long)status);
        stream->NonDelegatingRelease();
        return status;
    }
    KIRQL irql;
    KeAcquireSpinLock(&StreamPointerLock, &irql);
    (Capture ? CaptureStream : RenderStream) = stream;
    KeReleaseSpinLock(&StreamPointerLock, irql);
    *Stream = stream;
    *DmaChannel = stream;
    (*DmaChannel)->AddRef();
    *ServiceGroupOut = ServiceGroup;
    ServiceGroup->AddRef();
    return STATUS_SUCCESS;
}

VOID CMiniportWaveCyclicUsbAudio::StreamClosing(CMiniportWaveCyclicStreamUsbAudio* stream) {
    // Once this returns no streaming context of the other direction is
    // inside the stream, and none will find it again.
    KIRQL irql;
    KeAcquireSpinLock(&StreamPointerLock, &irql);
    if (CaptureStream == stream) {
        CaptureStream = NULL;
    }
    if (RenderStream == stream) {
        RenderStream = NULL;
    }
    KeReleaseSpinLock(&StreamPointerLock, irql);
}

VOID CMiniportWaveCyclicUsbAudio::NotifyPort() {
    if (Port != NULL && ServiceGroup != NULL) {
        Port->Notify(ServiceGroup);
    }
}

STDMETHODIMP_(void) CMiniportWaveCyclicUsbAudio::PowerChangeNotify(POWER_STATE NewState) {
    const DEVICE_POWER_STATE state = NewState.DeviceState;
    if (state == PowerState) {
        UA_TRACE("miniport: already in D%d", (int)state - 1);
        return;
    }
    if (state < PowerDeviceD0 || state > PowerDeviceD3) {
        UA_ERROR("miniport: unknown power state %d", (int)state);
        return;
    }
    // The adapter handles the device; the miniport only remembers.
    PowerState = state;
}

// ---- Private interface --------------------------------------------------------

STDMETHODIMP_(VOID) CMiniportWaveCyclicUsbAudio::TimingNotification(BOOLEAN Capture) {
    // Stream pointers are read without a lock: streams open and close at
    // passive level while the adapter's streaming for them is stopped.
    // Only the direction's own pointer is read (volatile: a plain select may
    // load both), since the other stream may be closing meanwhile.
    CMiniportWaveCyclicStreamUsbAudio* stream =
        Capture ? *(CMiniportWaveCyclicStreamUsbAudio* volatile*)&CaptureStream
                : *(CMiniportWaveCyclicStreamUsbAudio* volatile*)&RenderStream;
    if (stream == NULL) {
        return;
    }
    if (!Capture && stream->HasClientBuffers()) {
        // With inputs the capture side paces the client: the render toggle
        // that follows plays the half the capture block names now, the one
        // the client filled at the last buffer switch. (Only a low-latency
        // client, which stops both pins before closing either, gets here.)
        KIRQL irql;
        KeAcquireSpinLock(&StreamPointerLock, &irql);
        CMiniportWaveCyclicStreamUsbAudio* capture = CaptureStream;
        if (capture != NULL && capture->HasClientBuffers()) {
            // The kernel's own half (read atomically: the capture completion
            // toggles it beside this one), not the client-writable header.
            stream->GetAsioBuffers().SetCurrentHalf(1 - capture->GetAsioBuffers().GetCurrentHalf());
        }
        KeReleaseSpinLock(&StreamPointerLock, irql);
    }
    stream->TimingNotification();
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicUsbAudio::SetRenderPosition(PVOID Address) {
    CMiniportWaveCyclicStreamUsbAudio* stream = RenderStream;
    return stream != NULL && Address != NULL ? stream->SetPlayPosition(Address) : 0;
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicUsbAudio::AdvanceRenderPosition(ULONG ByteCount) {
    CMiniportWaveCyclicStreamUsbAudio* stream = RenderStream;
    return stream != NULL ? stream->AdvancePlayPosition(ByteCount) : 0;
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicUsbAudio::SetCapturePosition(PVOID Address) {
    CMiniportWaveCyclicStreamUsbAudio* stream = CaptureStream;
    return stream != NULL && Address != NULL ? stream->SetRecordPosition(Address) : 0;
}

STDMETHODIMP_(VOID) CMiniportWaveCyclicUsbAudio::ClearBuffer(BOOLEAN Capture) {
    CMiniportWaveCyclicStreamUsbAudio* stream = Capture ? CaptureStream : RenderStream;
    if (stream != NULL) {
        stream->ClearBuffer();
    }
}

STDMETHODIMP_(BOOLEAN) CMiniportWaveCyclicUsbAudio::IsStreamActive(BOOLEAN Capture) {
    KIRQL irql;
    KeAcquireSpinLock(&StreamPointerLock, &irql);
    CMiniportWaveCyclicStreamUsbAudio* stream = Capture ? CaptureStream : RenderStream;
    const BOOLEAN active = stream != NULL && stream->HasClientBuffers();
    KeReleaseSpinLock(&StreamPointerLock, irql);
    return active;
}

STDMETHODIMP_(VOID) CMiniportWaveCyclicUsbAudio::BufferToggle() {
    // The capture side calls this too: the render stream is used only under
    // the pointer lock.
    KIRQL irql;
    KeAcquireSpinLock(&StreamPointerLock, &irql);
    ToggleRenderLocked();
    KeReleaseSpinLock(&StreamPointerLock, irql);
}

VOID CMiniportWaveCyclicUsbAudio::ToggleRenderLocked() {
    CMiniportWaveCyclicStreamUsbAudio* render = RenderStream;
    if (render == NULL || !render->HasClientEvent()) {
        Adapter->BufferToggle();
        return;
    }
    // A half handed over but not yet taken (the underrun path can get here
    // between output ready and the timing notification that takes it): a
    // wake-up now would show the client the same half again. The
    // notification that takes the half toggles and asks for the next one.
    if (render->HasClientBuffers() && render->IsOutputReadyPending()) {
        return;
    }
    // One buffer switch per output-ready notice: a second toggle before the
    // client answered is swallowed.
    if (InterlockedExchange(&ToggleGuard, 1) != 0) {
        return;
    }
    Adapter->BufferToggle();
    render->SignalClientEvent();
}

STDMETHODIMP_(VOID) CMiniportWaveCyclicUsbAudio::OutputReady() {
    CMiniportWaveCyclicStreamUsbAudio* render = RenderStream;
    if (render != NULL && render->HasClientEvent()) {
        ClearToggleGuard();
    }
    Adapter->OutputReady();
}

STDMETHODIMP_(VOID) CMiniportWaveCyclicUsbAudio::Silence(BOOLEAN Capture, PVOID Buffer, ULONG ByteCount) {
    CMiniportWaveCyclicStreamUsbAudio* stream = Capture ? CaptureStream : RenderStream;
    if (stream != NULL) {
        stream->Silence(Buffer, ByteCount);
    }
}

STDMETHODIMP_(VOID) CMiniportWaveCyclicUsbAudio::OutputDelay(ULONG Frames) {
    Adapter->OutputDelay(Frames);
}

STDMETHODIMP_(CMiniportWaveCyclicStreamUsbAudio*) CMiniportWaveCyclicUsbAudio::ReportStreamError(BOOLEAN Capture,
                                                                                                 NTSTATUS Status) {
    const BOOLEAN deviceGone =
        Status == STATUS_NO_SUCH_DEVICE || Status == STATUS_DELETE_PENDING || Status == STATUS_DEVICE_NOT_CONNECTED;
    // A transfer of a closing pin may still complete (the feedback chain of
    // the other direction, in implicit-feedback mode): under the lock.
    KIRQL irql;
    KeAcquireSpinLock(&StreamPointerLock, &irql);
    CMiniportWaveCyclicStreamUsbAudio* stream = Capture ? CaptureStream : RenderStream;
    if (stream != NULL && deviceGone && stream->HasClientBuffers()) {
        // The low-latency client reads it from the shared block and asks
        // its host for a reset.
        UA_ERROR("%s stream: device gone 0x%08lx", Capture ? "capture" : "render", (unsigned long)Status);
        stream->RecordStreamError(Status);
    }
    KeReleaseSpinLock(&StreamPointerLock, irql);
    return stream;
}
