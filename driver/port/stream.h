// CMiniportWaveCyclicStreamUsbAudio: one open stream of the wave filter, and
// its own DMA channel. The cyclic buffer is plain non-paged memory; what the
// port writes into it (render) or takes from it (capture) is queued on the
// adapter's client-buffer queues, which the USB transfers empty and fill.
// KS state changes become the adapter's start, pause and stop calls.
#pragma once

#include "driver/asiochannel/asio_buffer.h"
#include "driver/core/adapter_common.h"
#include "driver/runtime/com_unknown.h"
#include "driver/runtime/kernel_prelude.h"

class CMiniportWaveCyclicUsbAudio;

class CMiniportWaveCyclicStreamUsbAudio : public IMiniportWaveCyclicStream, public IDmaChannel, public CPoolUnknown {
public:
    DECLARE_STD_UNKNOWN();
    explicit CMiniportWaveCyclicStreamUsbAudio(PUNKNOWN outerUnknown);
    ~CMiniportWaveCyclicStreamUsbAudio() override;

    NTSTATUS Init(CMiniportWaveCyclicUsbAudio* miniport, ULONG pinId, BOOLEAN capture, PKSDATAFORMAT dataFormat);

    // IMiniportWaveCyclicStream
    STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT DataFormat) override;
    STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG Interval, PULONG FrameSize) override;
    STDMETHODIMP_(NTSTATUS) SetState(KSSTATE State) override;
    STDMETHODIMP_(NTSTATUS) GetPosition(PULONG Position) override;
    STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG PhysicalPosition) override;
    STDMETHODIMP_(void) Silence(PVOID Buffer, ULONG ByteCount) override;

    // IDmaChannel
    STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) override;
    STDMETHODIMP_(void) FreeBuffer() override;
    STDMETHODIMP_(ULONG) TransferCount() override;
    STDMETHODIMP_(ULONG) MaximumBufferSize() override;
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override;
    STDMETHODIMP_(ULONG) BufferSize() override;
    STDMETHODIMP_(void) SetBufferSize(ULONG BufferSize) override;
    STDMETHODIMP_(PVOID) SystemAddress() override;
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override;
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override;
    STDMETHODIMP_(void) CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) override;
    STDMETHODIMP_(void) CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) override;

    // A cyclic-buffer region starting at `at`: the bytes before the buffer end
    // and those that wrap to its start.
    VOID SplitAtBufferEnd(PUCHAR at, ULONG bytes, PULONG first, PULONG rest);

    // From the miniport's private interface (adapter threads and completions).
    VOID TimingNotification();
    // Drops what is queued (a render restart); a capture-paced render
    // stream queues its silence lead again.
    VOID ClearBuffer();
    ULONG SetPlayPosition(PVOID address);
    ULONG AdvancePlayPosition(ULONG byteCount);
    ULONG SetRecordPosition(PVOID address);

    // ---- Low-latency client channel, request side (stream_asio_requests.cpp):
    // property requests at PASSIVE_LEVEL in the client's process. Creation,
    // event registration and clearing are refused
    // (STATUS_INVALID_DEVICE_REQUEST) unless the pin is in STOP or ACQUIRE.
    NTSTATUS CreateAsioBuffers(const AsioBufferRequest* request, ULONG instanceBytes);
    NTSTATUS DescribeAsioBuffers(PVOID value, ULONG valueBytes, BOOLEAN caller32Bit);
    // References the client's event (UserMode, SYNCHRONIZE | EVENT_MODIFY_STATE).
    NTSTATUS RegisterClientEvent(ULONGLONG handleValue);
    NTSTATUS UnregisterClientEvent(ULONGLONG handleValue);
    // Output-ready flag = 1 (atomic), then the miniport's OutputReady.
    VOID SignalOutputReady();
    // A client half handed over and not yet taken by a timing notification.
    BOOLEAN IsOutputReadyPending() const {
        return InterlockedCompareExchange(const_cast<volatile LONG*>(&OutputReadyFlag), 0, 0) != 0;
    }
    // At destruction: buffers, then the event reference.
    VOID ReleaseLowLatency();

    // ---- Low-latency client channel, streaming side (stream_asio.cpp):
    // streaming context, up to DISPATCH_LEVEL.
    BOOLEAN HasClientBuffers() const { return AsioBuffers.GetCount() != 0; }
    BOOLEAN HasClientEvent() const { return ReadClientEvent() != NULL; }
    // KeSetEvent(IO_SOUND_INCREMENT) on the registered event, safe against a
    // concurrent unregistration; FALSE when none is registered.
    BOOLEAN SignalClientEvent();
    CAsioDeviceBuffer& GetAsioBuffers() { return AsioBuffers; }
    // The device-gone statuses go into the shared header.
    VOID RecordStreamError(NTSTATUS status);

    KSSTATE GetState() const { return ReadState(); }
    ULONG GetChannels() const { return Channels; }

    // Cyclic buffer size for a format: 100 ms, but never less than 11520 frames.
    static ULONG BufferBytesFor(ULONG sampleRate, ULONG blockAlign);

private:
    IAdapterCommon* Adapter() const;
    ULONG ExchangePosition(ULONG position);
    ULONG BufferOffset(PVOID address) const;

    // Written by SetState only; the port's service routine reads it from
    // another thread (CopyTo), hence the interlocked accesses.
    volatile LONG State = KSSTATE_STOP;
    KSSTATE ReadState() const {
        return static_cast<KSSTATE>(InterlockedCompareExchange(const_cast<volatile LONG*>(&State), 0, 0));
    }
    VOID WriteState(KSSTATE state) { InterlockedExchange(&State, state); }
    CMiniportWaveCyclicUsbAudio* Miniport = NULL;
    BOOLEAN Capture = FALSE;
    ULONG PinId = 0;
    PUCHAR Buffer = NULL;
    ULONG AllocatedBytes = 0;
    ULONG BufferBytes = 0;
    volatile LONG Position = 0;
    BOOLEAN FormatSet = FALSE;
    USHORT Channels = 0;
    USHORT BitsPerSample = 0;
    ULONG SampleRate = 0;
    ULONG BlockAlign = 0;
    ULONG FramesPerNotification = 0;
    volatile LONG WritePosition = 0;
    volatile LONG ReadPosition = 0;
    volatile LONG OutputReadyFlag = 0;

    // Low-latency channel.
    VOID AsioTimingNotification();
    VOID AsioCaptureTiming();
    VOID AsioRenderTiming();
    // PAUSE -> RUN of a render stream with client buffers: toggle once and
    // ask the client for its first half.
    VOID StartAsioRender();
    // Capture-paced render: queues whole halves of silence (at least
    // 1 / CAPTURE_PACED_LEAD_PER_SECOND s) ahead of the first client half.
    static const ULONG CAPTURE_PACED_LEAD_PER_SECOND = 20;
    VOID QueueRenderLead();
    // Bytes from the read position to just past the last written frame
    // (0 when read = write + one frame).
    ULONG QueuedBytes() const;
    // The write position that leaves nothing queued before `read`.
    ULONG ClientEmptyWritePosition(ULONG read) const;
    // Read position 0, nothing queued.
    VOID ResetClientPositions();
    // Device frames one client half fills: a quarter of the half's frames
    // for DSD in 32-bit containers.
    ULONG DeviceFramesPerHalf() const;
    // The most a render stream lets the client queue ahead of the device
    // (bytes): RENDER_LEAD_PER_SECOND-th of a second, two halves at least,
    // the cyclic buffer at most.
    static const ULONG RENDER_LEAD_PER_SECOND = 50;
    ULONG RenderLeadCapBytes(ULONG halfBytes) const;
    // Whether the client may be asked for another half with `queued` bytes
    // in the cyclic buffer.
    BOOLEAN RoomForAnotherHalf(ULONG queued, ULONG halfBytes) const;
    VOID CopyFromAsioBuffer(PUCHAR address, ULONG bytes);
    VOID CopyToAsioBuffer(PUCHAR address, ULONG bytes);
    PKEVENT ReadClientEvent() const {
        return static_cast<PKEVENT>(InterlockedCompareExchangePointer(const_cast<PVOID volatile*>(&ClientEventObject), NULL, NULL));
    }

    CAsioDeviceBuffer AsioBuffers;
    ULONGLONG ClientEventHandle = 0;
    PVOID volatile ClientEventObject = NULL;
    // Taken around signalling and around releasing the event object, so a
    // registration ending never races a KeSetEvent.
    KSPIN_LOCK ClientEventLock;
};

// The WAVEFORMATEX of a KSDATAFORMAT, after a WAVEFORMATEX specifier's header
// or a DirectSound specifier's buffer description; NULL for anything else.
PWAVEFORMATEX StreamWaveFormat(PKSDATAFORMAT dataFormat);
