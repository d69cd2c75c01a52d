// CAdapterUsbAudio: creation, interfaces, Init and the queries the miniport
// makes while negotiating formats.
#include "driver/core/adapter.h"

#include "driver/runtime/pool_tags.h"
#include "driver/runtime/trace.h"
#include "driver/core/tuning.h"
#include "driver/uac/filter_topology.h"

NTSTATUS CreateAdapterUsbAudio(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, POOL_TYPE PoolType) {
    *Unknown = NULL;
    CAdapterUsbAudio* adapter = new (PoolType, POOLTAG_ADAPTER) CAdapterUsbAudio(OuterUnknown);
    if (adapter == NULL) {
        UA_ERROR("no memory for the adapter object");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Unknown = static_cast<IAdapterCommon*>(adapter);
    (*Unknown)->AddRef();
    return STATUS_SUCCESS;
}

CAdapterUsbAudio::CAdapterUsbAudio(PUNKNOWN outerUnknown) : CPoolUnknown(outerUnknown) {}

CAdapterUsbAudio::~CAdapterUsbAudio() {
    if (SyncObjectsReady) {
        // Normally the streams have stopped their threads already; a thread
        // still running would outlive the object it works on.
        WaitForStopStreamThread(TRUE);
        WaitForStopStreamThread(FALSE);
    }
    if (PoolsReady) {
        // Entries still queued go back before their pool goes away.
        FlushClientQueue(FALSE);
        FlushClientQueue(TRUE);
    }
    UsbAudio.FreeFilter(&FilterDescriptor);
    if (PoolsReady) {
        ExDeleteNPagedLookasideList(&RequestPool);
        ExDeleteNPagedLookasideList(&QueueEntryPool);
    }
    // UsbAudio (the function model and the USB layer) goes with the members.
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsSameInterface(iid, IID_IUnknown) || IsSameInterface(iid, IID_IAdapterCommon)) {
        *object = PVOID(static_cast<IAdapterCommon*>(this));
    } else if (IsSameInterface(iid, IID_IAdapterPowerManagement)) {
        *object = PVOID(static_cast<IAdapterPowerManagement*>(this));
    } else {
        *object = NULL;
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<PUNKNOWN>(*object)->AddRef();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::Init(PDEVICE_OBJECT PhysicalDeviceObject,
                                               PDEVICE_OBJECT FunctionalDeviceObjectIn) {
    if (SyncObjectsReady) {
        UA_ERROR("adapter initialised twice");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    FunctionalDeviceObject = FunctionalDeviceObjectIn;
    PowerState = PowerDeviceD0;
    RtlZeroMemory(&CaptureFormat, sizeof(CaptureFormat));
    RtlZeroMemory(&RenderFormat, sizeof(RenderFormat));
    RenderThread = NULL;
    CaptureThread = NULL;
    LinkedStartCount = 0;
    QueuedRenderBytes = 0;

    ReloadStreamTuning(FALSE);
    ReloadStreamTuning(TRUE);
    const StreamTuning render = GetStreamTuning(FALSE);
    const StreamTuning capture = GetStreamTuning(TRUE);

    KeInitializeEvent(&RenderStopEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&CaptureStopEvent, NotificationEvent, TRUE);
    KeInitializeSemaphore(&CaptureSlots, (LONG)capture.TransfersInFlight, (LONG)capture.TransfersInFlight);
    KeInitializeSemaphore(&RenderSlots, 0, (LONG)render.TransfersInFlight);
    KeInitializeSemaphore(&FeedbackSlots, FEEDBACK_SLOT_LIMIT, FEEDBACK_SLOT_LIMIT);
    KeInitializeEvent(&RenderErrorEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&CaptureErrorEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&CaptureIdleEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&RenderIdleEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&RenderRunningEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&CaptureRunningEvent, NotificationEvent, FALSE);
    KeInitializeMutex(&StreamMutex, 0);
    InitializeClientQueue(&RenderQueue);
    InitializeClientQueue(&CaptureQueue);
    KeInitializeSpinLock(&ImplicitLock);
    KeInitializeSpinLock(&RenderLock);
    KeInitializeSpinLock(&RenderInFlightLock);
    KeInitializeSpinLock(&CaptureInFlightLock);
    KeInitializeSpinLock(&CaptureScheduleLock);
    KeInitializeSpinLock(&CaptureDeliveryLock);
    InitializeListHead(&FreeRenderRequests);
    KeInitializeSpinLock(&ReturnedRenderLock);
    InitializeListHead(&ReturnedRenderRequests);
    SyncObjectsReady = TRUE;
    ExInitializeNPagedLookasideList(&QueueEntryPool, NULL, NULL, 0, sizeof(ClientBufferEntry), POOLTAG_USB, 0);
    ExInitializeNPagedLookasideList(&RequestPool, NULL, NULL, 0, TRANSFER_REQUEST_BYTES, POOLTAG_USB, 0);
    PoolsReady = TRUE;

    UsbAudio.SetStreamEvents(this);
    NTSTATUS status = UsbAudio.Init(PhysicalDeviceObject, render.TransfersInFlight + capture.TransfersInFlight);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("audio function initialisation failed 0x%08lx", (unsigned long)status);
        return status;
    }
    status = UsbAudio.Configure();
    if (!NT_SUCCESS(status)) {
        UA_ERROR("configuration failed 0x%08lx", (unsigned long)status);
        return status;
    }
    // No thread can run yet, so the mode goes out directly.
    status = UsbAudio.SetDeviceMode(0);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("PCM mode request failed 0x%08lx", (unsigned long)status);
        return status;
    }
    RtlZeroMemory(&FilterDescriptor, sizeof(FilterDescriptor));
    status = UsbAudio.BuildFilter(&FilterDescriptor);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("filter description failed 0x%08lx", (unsigned long)status);
    }
    return status;
}

STDMETHODIMP_(VOID) CAdapterUsbAudio::SetWaveMiniport(IMiniportWaveCyclicUsbAudio* Miniport) {
    WaveMiniport = Miniport;
}

STDMETHODIMP_(PPCFILTER_DESCRIPTOR) CAdapterUsbAudio::GetFilterDescriptor() {
    return &FilterDescriptor;
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::GetFormatRange(BOOLEAN Capture, PULONG MaxChannels, PULONG MinContainerBits,
                                                         PULONG MaxContainerBits, PULONG MinRate, PULONG MaxRate) {
    StreamingInterface* streaming = Capture ? UsbAudio.GetCaptureInterface() : UsbAudio.GetRenderInterface();
    const NTSTATUS status =
        UsbAudio.GetFormatCapabilities(streaming, MaxChannels, MinContainerBits, MaxContainerBits, MinRate, MaxRate);
    // The smallest container is reported as at most 8 bits.
    if (*MinContainerBits > 8) {
        *MinContainerBits = 8;
    }
    return status;
}

STDMETHODIMP_(NTSTATUS) CAdapterUsbAudio::GetPinRateRange(ULONG PinId, BOOLEAN Capture, ULONG Channels, ULONG MinBits,
                                                          ULONG MaxBits, PULONG MinRate, PULONG MaxRate) {
    if (PinId >= FilterDescriptor.PinCount) {
        UA_ERROR("rate range for pin %lu of %lu", (unsigned long)PinId, (unsigned long)FilterDescriptor.PinCount);
        return STATUS_INVALID_PARAMETER;
    }
    UA_TRACE("rate range pin %lu (%s), %lu channels, %lu..%lu bits, %lu..%lu Hz", (unsigned long)PinId,
             Capture ? "capture" : "render", (unsigned long)Channels, (unsigned long)MinBits, (unsigned long)MaxBits,
             (unsigned long)*MinRate, (unsigned long)*MaxRate);
    if (!UsbAudio.IsUac2()) {
        StreamingInterface* streaming = Capture ? UsbAudio.GetCaptureInterface() : UsbAudio.GetRenderInterface();
        return UsbAudio.GetUac1RateBounds(streaming, MinRate, MaxRate);
    }
    const FilterElement* pin = FilterPinElement(&FilterDescriptor, PinId);
    CUSBAudioEntity* entity = pin != NULL ? pin->Entity : NULL;
    CUSBAudioClock* clock =
        entity != NULL && entity->IsTerminal() ? UsbAudio.GetTerminalClock(static_cast<CUSBAudioTerminal*>(entity)) : NULL;
    if (clock == NULL) {
        UA_ERROR("pin %lu has no clock", (unsigned long)PinId);
        return STATUS_NOT_SUPPORTED;
    }
    ULONG lowest = 0;
    ULONG highest = 0;
    const NTSTATUS status = clock->GetSampleFrequencyRange(&lowest, &highest, *MinRate, *MaxRate);
    if (NT_SUCCESS(status)) {
        *MinRate = lowest;
        *MaxRate = highest;
    }
    return status;
}

BOOLEAN CAdapterUsbAudio::IsImplicitFeedbackMode() {
    StreamingInterface* capture = UsbAudio.GetCaptureInterface();
    if (capture == NULL || capture->AlternateCount <= 1) {
        return FALSE;
    }
    PUSB_ENDPOINT_DESCRIPTOR endpoint = capture->Alternates[1].DataEndpoint;
    return endpoint != NULL && ((endpoint->bmAttributes >> 4) & 0x03) == 0x02;
}
