// CAdapterUsbAudio: the one object per device that owns the USB audio
// function and the stream state shared by the wave path and the low-latency
// client path. The wave miniport and its streams reach it only through
// IAdapterCommon; the port library's power callbacks arrive on
// IAdapterPowerManagement.
#pragma once

#include "driver/core/adapter_common.h"
#include "driver/core/client_queue.h"
#include "driver/runtime/com_unknown.h"
#include "driver/runtime/kernel_prelude.h"
#include "driver/core/transfer_request.h"
#include "driver/uac/stream_events.h"
#include "driver/uac/usbaudiocl.h"

// Format of one direction; all zero means the direction has none.
struct StreamFormat {
    ULONG Channels;
    ULONG BitsPerSample;
    ULONG SampleRate;
    ULONG BytesPerFrame;
};

// Feedback reads allowed in flight.
constexpr LONG FEEDBACK_SLOT_LIMIT = 3;
// Render slots granted at a time by RenderNotify and at a start without
// explicit feedback.
constexpr ULONG RENDER_SLOT_BURST = 3;

class CAdapterUsbAudio : public IAdapterCommon,
                         public IAdapterPowerManagement,
                         public CPoolUnknown,
                         private IStreamEvents {
public:
    DECLARE_STD_UNKNOWN();
    explicit CAdapterUsbAudio(PUNKNOWN outerUnknown);
    ~CAdapterUsbAudio() override;

    // IAdapterCommon
    STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT FunctionalDeviceObject) override;
    STDMETHODIMP_(VOID) SetWaveMiniport(IMiniportWaveCyclicUsbAudio* Miniport) override;
    STDMETHODIMP_(NTSTATUS) GetFormatRange(BOOLEAN Capture, PULONG MaxChannels, PULONG MinContainerBits,
                                           PULONG MaxContainerBits, PULONG MinRate, PULONG MaxRate) override;
    STDMETHODIMP_(NTSTATUS) SetStreamFormat(BOOLEAN Capture, ULONG Channels, ULONG BitsPerSample,
                                            ULONG SampleRate) override;
    STDMETHODIMP_(NTSTATUS) SetStreamFormatNoFlush(BOOLEAN Capture, ULONG Channels, ULONG BitsPerSample,
                                                   ULONG SampleRate) override;
    STDMETHODIMP_(NTSTATUS) ClearStreamFormat(BOOLEAN Capture) override;
    STDMETHODIMP_(NTSTATUS) StartStream(BOOLEAN Capture) override;
    STDMETHODIMP_(NTSTATUS) PauseStream(BOOLEAN Capture) override;
    STDMETHODIMP_(NTSTATUS) StopStream(BOOLEAN Capture) override;
    STDMETHODIMP_(NTSTATUS) SetStreamRunning(BOOLEAN Capture) override;
    STDMETHODIMP_(VOID) ClearStreamRunning(BOOLEAN Capture) override;
    STDMETHODIMP_(NTSTATUS) QueueRenderBuffer(PVOID Address, ULONG Length) override;
    STDMETHODIMP_(NTSTATUS) QueueCaptureBuffer(PVOID Address, ULONG Length) override;
    STDMETHODIMP_(VOID) BufferToggle() override;
    STDMETHODIMP_(VOID) OutputReady() override;
    STDMETHODIMP_(VOID) RenderNotify() override;
    STDMETHODIMP_(PPCFILTER_DESCRIPTOR) GetFilterDescriptor() override;
    STDMETHODIMP_(NTSTATUS) PropertyHandler_Node(PPCPROPERTY_REQUEST PropertyRequest) override;
    STDMETHODIMP_(VOID) OutputDelay(ULONG Frames) override;
    STDMETHODIMP_(NTSTATUS) GetPinRateRange(ULONG PinId, BOOLEAN Capture, ULONG Channels, ULONG MinBits,
                                            ULONG MaxBits, PULONG MinRate, PULONG MaxRate) override;
    STDMETHODIMP_(NTSTATUS) SetDeviceMode(USHORT Mode) override;

    // IAdapterPowerManagement
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;
    STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE NewStateQuery) override;
    STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) override;

    // Transfer sizes in the other direction's units, on whole audio frames.
    ULONG ClientBytes(BOOLEAN capture, ULONG deviceBytes);
    ULONG DeviceBytes(BOOLEAN capture, ULONG clientBytes);

    // State for diagnostics and tests.
    StreamFormat GetClientFormat(BOOLEAN capture) const { return capture ? CaptureFormat : RenderFormat; }
    StreamFormat GetDeviceFormat(BOOLEAN capture) const { return capture ? CaptureDeviceFormat : RenderDeviceFormat; }
    ULONG GetQueuedRenderBytes() const { return (ULONG)QueuedRenderBytes; }
    DEVICE_POWER_STATE GetPowerState() const { return PowerState; }
    CUSBAudioCL* GetUsbAudio() { return &UsbAudio; }
    // The capture interface's first data endpoint paces render (implicit feedback).
    BOOLEAN IsImplicitFeedbackMode();

private:
    // Formats and pipes (adapter_format.cpp).
    NTSTATUS ChangeStreamFormat(BOOLEAN capture, ULONG channels, ULONG bits, ULONG rate, BOOLEAN flush);
    NTSTATUS OpenStreamPipes(BOOLEAN capture);
    VOID CloseStreamPipes(BOOLEAN capture);

    // Stream control (adapter_stream.cpp).
    // Both take StreamMutex from the caller.
    NTSTATUS StartLinkedStreams(BOOLEAN capture, BOOLEAN clientChannel);
    // Refuses PCM on a DSD device and sends PCM mode for a wave stream.
    NTSTATUS PrepareTransport(BOOLEAN capture, BOOLEAN clientChannel);
    VOID ReinitializeSlots(BOOLEAN capture);
    VOID FlushClientQueue(BOOLEAN capture);
    VOID FlushRenderQueueLocked();  // caller holds RenderLock
    // Stops one direction's data while its thread goes on; on return no
    // completion or pump run touches that stream any more.
    VOID StopStreamData(BOOLEAN capture);
    NTSTATUS QueueClientBuffer(BOOLEAN capture, PVOID address, ULONG length);
    // Whether every streaming interface was last set to the mode.
    BOOLEAN IsDeviceMode(USHORT mode);
    // The next capture receive starts a new schedule, unless receives run.
    VOID RestartCaptureSchedule();
    VOID AcquireStreamMutex();
    VOID ReleaseStreamMutex();

    // Streaming threads, slots and the in-flight accounting (stream_threads.cpp).
    NTSTATUS StartStreamThread(BOOLEAN capture);
    VOID StopStreamThread(BOOLEAN capture);
    VOID StopStreamThreads();
    VOID WaitForStopStreamThread(BOOLEAN capture);
    VOID GrantRenderSlot();
    VOID GrantRenderSlots(ULONG count);
    VOID RenderRequestStarted();
    VOID RenderRequestDone();
    VOID CaptureRequestStarted();
    VOID CaptureRequestDone();
    NTSTATUS WaitForIdle(BOOLEAN capture, PLARGE_INTEGER timeout);
    BOOLEAN IsClockStable(LONGLONG relativeTimeout);
    static VOID NTAPI RenderThreadRoutine(PVOID context);
    static VOID NTAPI CaptureThreadRoutine(PVOID context);
    VOID RenderThreadMain();
    VOID CaptureThreadMain();

    // Render transfer requests and the restart after errors (render_restart.cpp).
    VOID CreateRenderRequests();
    VOID FreeRenderRequestList();
    // Moves ReturnedRenderRequests to FreeRenderRequests (caller holds RenderLock or runs alone).
    VOID ReclaimReturnedRenderRequests();
    VOID RestartRender(BOOLEAN explicitFeedback);

    // The render pump (render_pump.cpp).
    VOID SendRenderTransfer(TRANSFER_REQUEST* completed);
    BOOLEAN SizeRenderTransfer(TRANSFER_REQUEST* request, BOOLEAN running);
    ULONG FillRenderTransfer(TRANSFER_REQUEST* request, BOOLEAN running);
    static VOID RenderTransferCompletion(NTSTATUS status, ULONG bytes, PVOID request);
    static VOID NTAPI RenderWorkItem(PDEVICE_OBJECT deviceObject, PVOID context);

    // The capture path (capture_path.cpp).
    VOID ReceiveCaptureTransfer(PVOID buffer, TRANSFER_REQUEST* request);
    VOID DeliverCapturedAudio(PUCHAR buffer, ULONG bytes);
    static VOID CaptureTransferCompletion(NTSTATUS status, ULONG bytes, PVOID request);

    // IStreamEvents: the explicit feedback chains (adapter_feedback.cpp).
    BOOLEAN FeedbackShouldRun() override;
    FEEDBACK_REQUEST* AllocateFeedbackRequest() override;
    VOID FreeFeedbackRequest(FEEDBACK_REQUEST* request) override;
    VOID OnFeedbackChainEnded() override;
    VOID OnFeedbackReadFailed(NTSTATUS status) override;
    VOID OnFeedbackPublished(ULONG value) override;
    VOID GrantRenderSlots() override;

    // Node properties (node_properties.cpp).
    CUSBAudioFeatureUnit* FindNodeFeatureUnit(ULONG node);
    ULONG KsChannelCount(CUSBAudioFeatureUnit* unit);
    // The checks every volume/mute GET and SET shares: sizes, node, channel.
    NTSTATUS NodeChannelRequest(PPCPROPERTY_REQUEST request, const char* what, CUSBAudioFeatureUnit** unit,
                                PLONG channel, PULONG channels);
    NTSTATUS PropertyHandler_Volume(PPCPROPERTY_REQUEST request);
    NTSTATUS PropertyHandler_Mute(PPCPROPERTY_REQUEST request);
    NTSTATUS PropertyHandlerBasicSupport_Volume(PPCPROPERTY_REQUEST request);
    NTSTATUS PropertyHandlerBasicSupport_Mute(PPCPROPERTY_REQUEST request);

    PKEVENT StopEvent(BOOLEAN capture) { return capture ? &CaptureStopEvent : &RenderStopEvent; }
    BOOLEAN IsSignalled(PKEVENT event) { return KeReadStateEvent(event) != 0; }
    static VOID RaiseFlag(volatile LONG* flag) { InterlockedExchange(flag, TRUE); }
    static BOOLEAN TakeFlag(volatile LONG* flag) { return InterlockedExchange(flag, FALSE) != FALSE; }
    BOOLEAN HasExplicitFeedback();
    StreamFormat& ClientFormat(BOOLEAN capture) { return capture ? CaptureFormat : RenderFormat; }

    PDEVICE_OBJECT FunctionalDeviceObject = NULL;
    CUSBAudioCL UsbAudio;
    IMiniportWaveCyclicUsbAudio* WaveMiniport = NULL;
    DEVICE_POWER_STATE PowerState = PowerDeviceUnspecified;
    ULONG RenderTransferBytes = 0;
    ULONG CaptureTransferBytes = 0;
    ULONG RenderBaseBytes = 0;
    LONG RenderMinExtraFrames = 0;
    LONG RenderMaxExtraFrames = 0;
    ULONG CaptureBaseBytes = 0;
    LONG CaptureMinExtraFrames = 0;
    LONG CaptureMaxExtraFrames = 0;
    LONG ImplicitCredit = 0;
    KSPIN_LOCK ImplicitLock = 0;
    KMUTEX StreamMutex;
    StreamFormat CaptureFormat = {};
    StreamFormat RenderFormat = {};
    StreamFormat CaptureDeviceFormat = {};
    StreamFormat RenderDeviceFormat = {};
    NPAGED_LOOKASIDE_LIST QueueEntryPool;
    volatile LONG LinkedStartCount = 0;
    PVOID volatile RenderThread = NULL;
    PVOID volatile CaptureThread = NULL;
    KEVENT RenderStopEvent;
    KEVENT CaptureStopEvent;
    KSEMAPHORE CaptureSlots;
    KSEMAPHORE RenderSlots;
    KSEMAPHORE FeedbackSlots;
    KEVENT RenderErrorEvent;
    KEVENT CaptureErrorEvent;
    KEVENT CaptureIdleEvent;
    KEVENT RenderIdleEvent;
    KEVENT RenderRunningEvent;
    KEVENT CaptureRunningEvent;
    ClientBufferQueue RenderQueue;
    ClientBufferQueue CaptureQueue;
    NPAGED_LOOKASIDE_LIST RequestPool;
    KSPIN_LOCK RenderLock = 0;
    LIST_ENTRY FreeRenderRequests;
    // Render requests a completion could not hand to a work item; it may run
    // under RenderLock, so they wait here for the restart.
    LIST_ENTRY ReturnedRenderRequests;
    KSPIN_LOCK ReturnedRenderLock = 0;
    LONG RenderInFlight = 0;
    KSPIN_LOCK RenderInFlightLock = 0;
    LONG CaptureInFlight = 0;
    KSPIN_LOCK CaptureInFlightLock = 0;
    // Flags set by stream control and taken (tested and cleared) by the
    // completions, which run on other threads: interlocked.
    volatile LONG FirstCaptureCompletion = FALSE;
    volatile LONG FirstRenderCompletion = FALSE;
    volatile LONG CaptureStartPending = FALSE;
    ULONG LastCaptureFrame = 0;
    volatile LONG LastRenderFrame = 0;
    ULONG NextCaptureFrame = 0;
    KSPIN_LOCK CaptureScheduleLock = 0;  // guards NextCaptureFrame
    // Held by a capture completion while it delivers and notifies.
    KSPIN_LOCK CaptureDeliveryLock = 0;
    LONGLONG ToggleTime = 0;
    LONGLONG OutputReadyTime = 0;
    ULONG ToggleFrame = 0;
    ULONG OutputReadyFrame = 0;
    volatile LONG RenderSlotsGranted = 0;
    volatile LONG QueuedRenderBytes = 0;
    volatile LONG FeedbackErrorCount = 0;
    PCFILTER_DESCRIPTOR FilterDescriptor = {};

    // Which of the objects above Init has set up, for the destructor.
    BOOLEAN SyncObjectsReady = FALSE;
    BOOLEAN PoolsReady = FALSE;
};

// Creates the adapter object with one reference on the returned unknown
// (STATUS_INSUFFICIENT_RESOURCES without memory). Pool tag "PcCr".
NTSTATUS CreateAdapterUsbAudio(PUNKNOWN* Unknown, PUNKNOWN OuterUnknown, POOL_TYPE PoolType);
