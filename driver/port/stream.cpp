// CMiniportWaveCyclicStreamUsbAudio: creation, formats, KS states, positions
// and the notifications that reach the port.
#include "driver/port/stream.h"

#include "driver/runtime/trace.h"
#include "driver/port/miniport.h"

namespace {

constexpr ULONG BUFFER_MILLISECONDS = 100;
constexpr ULONG MIN_BUFFER_FRAMES = 11520;
constexpr ULONG OUTPUT_DELAY_FRAMES = 128;
constexpr LONGLONG HUNDRED_NS_PER_SECOND = 10000000LL;
constexpr UCHAR SILENCE_UNSIGNED_8 = 0x80;
constexpr UCHAR SILENCE_DSD = 0xAA;

const char* StateName(KSSTATE state) {
    switch (state) {
        case KSSTATE_STOP:
            return "STOP";
        case KSSTATE_ACQUIRE:
            return "ACQUIRE";
        case KSSTATE_PAUSE:
            return "PAUSE";
        case KSSTATE_RUN:
            return "RUN";
        default:
            return "?";
    }
}

}  // namespace

PWAVEFORMATEX StreamWaveFormat(PKSDATAFORMAT dataFormat) {
    if (dataFormat == NULL || !IsSameInterface(dataFormat->MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) {
        return NULL;
    }
    ULONG offset;
    if (IsSameInterface(dataFormat->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
        offset = sizeof(KSDATAFORMAT);
    } else if (IsSameInterface(dataFormat->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND)) {
        // After the DirectSound buffer description's flags and control.
        offset = sizeof(KSDATAFORMAT) + 2 * sizeof(ULONG);
    } else {
        return NULL;
    }
    if (dataFormat->FormatSize < offset + sizeof(WAVEFORMATEX)) {
        return NULL;
    }
    PWAVEFORMATEX wave = reinterpret_cast<PWAVEFORMATEX>(reinterpret_cast<PUCHAR>(dataFormat) + offset);
    // Nothing can be timed or sized without these.
    if (wave->nChannels == 0 || wave->nBlockAlign == 0 || wave->nSamplesPerSec == 0) {
        return NULL;
    }
    return wave;
}

ULONG CMiniportWaveCyclicStreamUsbAudio::BufferBytesFor(ULONG sampleRate, ULONG blockAlign) {
    const ULONGLONG timed = (ULONGLONG)sampleRate * blockAlign * BUFFER_MILLISECONDS / 1000;
    const ULONGLONG minimum = (ULONGLONG)blockAlign * MIN_BUFFER_FRAMES;
    const ULONGLONG bytes = timed > minimum ? timed : minimum;
    return bytes > 0xFFFFFFFFULL ? 0xFFFFFFFFUL : (ULONG)bytes;
}

CMiniportWaveCyclicStreamUsbAudio::CMiniportWaveCyclicStreamUsbAudio(PUNKNOWN outerUnknown)
    : CPoolUnknown(outerUnknown) {
    KeInitializeSpinLock(&ClientEventLock);
}

CMiniportWaveCyclicStreamUsbAudio::~CMiniportWaveCyclicStreamUsbAudio() {
    // Down one state at a time, as the port would have taken it.
    while (ReadState() != KSSTATE_STOP) {
        const KSSTATE next =
            ReadState() == KSSTATE_RUN ? KSSTATE_PAUSE : (ReadState() == KSSTATE_PAUSE ? KSSTATE_ACQUIRE : KSSTATE_STOP);
        if (!NT_SUCCESS(SetState(next))) {
            WriteState(next);
        }
    }
    if (Miniport != NULL) {
        // Only a format this stream set is taken back: a stream that failed
        // before must not clear what another stream of the device uses.
        if (FormatSet && Adapter() != NULL) {
            Adapter()->ClearStreamFormat(Capture);
        }
        Miniport->StreamClosing(this);
    }
    FreeBuffer();
    // The low-latency channel: the shared block and its user mapping, then
    // the client's event.
    ReleaseLowLatency();
    if (Miniport != NULL) {
        static_cast<IMiniportWaveCyclic*>(Miniport)->Release();
        Miniport = NULL;
    }
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicStreamUsbAudio::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
    if (IsSameInterface(iid, IID_IUnknown) || IsSameInterface(iid, IID_IMiniportWaveCyclicStream)) {
        *object = PVOID(static_cast<IMiniportWaveCyclicStream*>(this));
    } else if (IsSameInterface(iid, IID_IDmaChannel)) {
        *object = PVOID(static_cast<IDmaChannel*>(this));
    } else {
        *object = NULL;
        UA_TRACE("stream: interface {%08lx-...} not offered", (unsigned long)iid.Data1);
        return STATUS_INVALID_PARAMETER;
    }
    static_cast<PUNKNOWN>(*object)->AddRef();
    return STATUS_SUCCESS;
}

IAdapterCommon* CMiniportWaveCyclicStreamUsbAudio::Adapter() const {
    return Miniport != NULL ? Miniport->GetAdapter() : NULL;
}

NTSTATUS CMiniportWaveCyclicStreamUsbAudio::Init(CMiniportWaveCyclicUsbAudio* miniport, ULONG pinId, BOOLEAN capture,
                                                 PKSDATAFORMAT dataFormat) {
    Miniport = miniport;
    static_cast<IMiniportWaveCyclic*>(Miniport)->AddRef();
    PinId = pinId;
    Capture = capture;
    WriteState(KSSTATE_STOP);
    InterlockedExchange(&Position, 0);
    InterlockedExchange(&ReadPosition, 0);
    InterlockedExchange(&WritePosition, 0);

    const PWAVEFORMATEX wave = StreamWaveFormat(dataFormat);
    if (wave == NULL) {
        UA_ERROR("stream: no usable WAVEFORMATEX in the data format");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    UA_TRACE("%s stream pin %lu: %s, %u ch, %u bit, %lu Hz, block %u", capture ? "capture" : "render",
             (unsigned long)pinId, wave->wFormatTag == WAVE_FORMAT_EXTENSIBLE ? "extensible" : "PCM", wave->nChannels,
             wave->wBitsPerSample, (unsigned long)wave->nSamplesPerSec, wave->nBlockAlign);
    NTSTATUS status = AllocateBuffer(BufferBytesFor(wave->nSamplesPerSec, wave->nBlockAlign), NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = Adapter()->SetStreamFormat(capture, wave->nChannels, wave->wBitsPerSample, wave->nSamplesPerSec);
    if (!NT_SUCCESS(status)) {
        UA_ERROR("%s stream: format refused 0x%08lx", capture ? "capture" : "render", (unsigned long)status);
        return status;
    }
    FormatSet = TRUE;
    Channels = wave->nChannels;
    BitsPerSample = wave->wBitsPerSample;
    SampleRate = wave->nSamplesPerSec;
    BlockAlign = wave->nBlockAlign;
    ResetClientPositions();
    Miniport->OutputDelay(OUTPUT_DELAY_FRAMES);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicStreamUsbAudio::SetFormat(PKSDATAFORMAT DataFormat) {
    if (ReadState() == KSSTATE_RUN) {
        UA_ERROR("%s stream: format change while running", Capture ? "capture" : "render");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const PWAVEFORMATEX wave = StreamWaveFormat(DataFormat);
    if (wave == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // The flushing form: regions of the buffer freed below may be queued, and
    // the adapter lets a stopping thread end before it flushes.
    NTSTATUS status =
        Adapter()->SetStreamFormat(Capture, wave->nChannels, wave->wBitsPerSample, wave->nSamplesPerSec);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FreeBuffer();
    status = AllocateBuffer(BufferBytesFor(wave->nSamplesPerSec, wave->nBlockAlign), NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Channels = wave->nChannels;
    BitsPerSample = wave->wBitsPerSample;
    SampleRate = wave->nSamplesPerSec;
    BlockAlign = (ULONG)Channels * BitsPerSample / 8;
    ResetClientPositions();
    return STATUS_SUCCESS;
}

STDMETHODIMP_(ULONG) CMiniportWaveCyclicStreamUsbAudio::SetNotificationFreq(ULONG Interval, PULONG FrameSize) {
    FramesPerNotification = (ULONG)((ULONGLONG)Interval * SampleRate / 1000);
    *FrameSize = BlockAlign * FramesPerNotification;
    return Interval;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicStreamUsbAudio::SetState(KSSTATE NewState) {
    if (NewState == ReadState()) {
        return STATUS_SUCCESS;
    }
    IAdapterCommon* adapter = Adapter();
    NTSTATUS status = STATUS_SUCCESS;
    if (ReadState() == KSSTATE_STOP && NewState == KSSTATE_ACQUIRE) {
    } else if (ReadState() == KSSTATE_ACQUIRE && NewState == KSSTATE_STOP) {
        adapter->StopStream(Capture);
        InterlockedExchange(&Position, 0);
        ResetClientPositions();
    } else if ((ReadState() == KSSTATE_ACQUIRE && NewState == KSSTATE_PAUSE) ||
               (ReadState() == KSSTATE_PAUSE && NewState == KSSTATE_ACQUIRE)) {
    } else if (ReadState() == KSSTATE_PAUSE && NewState == KSSTATE_RUN) {
        status = adapter->StartStream(Capture);
        if (!NT_SUCCESS(status)) {
            UA_ERROR("%s stream: start failed 0x%08lx", Capture ? "capture" : "render", (unsigned long)status);
            return status;
        }
        if (Capture) {
            InterlockedExchange(&Position, 0);
            ResetClientPositions();
            // The whole cyclic buffer waits to be filled from the device.
            adapter->QueueCaptureBuffer(Buffer, AllocatedBytes);
        } else {
            Miniport->ClearToggleGuard();
            InterlockedExchange(&OutputReadyFlag, 0);
        }
        if (Capture || !HasClientBuffers()) {
            status = adapter->SetStreamRunning(Capture);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        if (!Capture && HasClientBuffers()) {
            // The client's data starts the render thread (output ready), not
            // this call. RUN first: a client answering at once must find the
            // stream running.
            UA_TRACE("render stream: PAUSE -> RUN (client buffers)");
            WriteState(KSSTATE_RUN);
            StartAsioRender();
            return STATUS_SUCCESS;
        }
    } else if (ReadState() == KSSTATE_RUN && NewState == KSSTATE_PAUSE) {
        adapter->PauseStream(Capture);
    } else {
        UA_ERROR("%s stream: no transition %s -> %s", Capture ? "capture" : "render", StateName(ReadState()),
                 StateName(NewState));
        return STATUS_INVALID_PARAMETER;
    }
    UA_TRACE("%s stream: %s -> %s", Capture ? "capture" : "render", StateName(ReadState()), StateName(NewState));
    WriteState(NewState);
    return status;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicStreamUsbAudio::GetPosition(PULONG PositionOut) {
    *PositionOut = (ULONG)InterlockedCompareExchange(&Position, 0, 0);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CMiniportWaveCyclicStreamUsbAudio::NormalizePhysicalPosition(PLONGLONG PhysicalPosition) {
    if (BlockAlign == 0 || SampleRate == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    *PhysicalPosition = *PhysicalPosition * HUNDRED_NS_PER_SECOND / BlockAlign / SampleRate;
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CMiniportWaveCyclicStreamUsbAudio::Silence(PVOID SilenceBuffer, ULONG ByteCount) {
    // DSD is silent at 0xAA (alternating bits), unsigned 8-bit PCM at mid-scale.
    const ULONG clientType = HasClientBuffers() ? AsioBuffers.FirstSampleType() : 0;
    UCHAR value = 0;
    if (HasClientBuffers() && (clientType == ASIOSTDSDInt8LSB1 || clientType == ASIOSTDSDInt8MSB1)) {
        value = SILENCE_DSD;
    } else if (BitsPerSample == 8) {
        value = SILENCE_UNSIGNED_8;
    }
    RtlFillMemory(SilenceBuffer, ByteCount, value);
}

VOID CMiniportWaveCyclicStreamUsbAudio::TimingNotification() {
    // Without client buffers the port moves the data itself; with them the
    // low-latency channel copies between its halves and the buffer here.
    if (!HasClientBuffers()) {
        Miniport->NotifyPort();
    } else {
        AsioTimingNotification();
    }
}

VOID CMiniportWaveCyclicStreamUsbAudio::ClearBuffer() {
    // Nothing queued any more: the next frame goes where reading resumes.
    const ULONG write = (ULONG)InterlockedCompareExchange(&WritePosition, 0, 0);
    const ULONG read = BufferBytes != 0 ? (ULONG)(((ULONGLONG)write + BlockAlign) % BufferBytes) : 0;
    InterlockedExchange(&ReadPosition, (LONG)read);
    InterlockedExchange(&OutputReadyFlag, 0);
    if (!Capture && HasClientBuffers() && !HasClientEvent() && ReadState() == KSSTATE_RUN) {
        // A render restart: the capture-paced client needs its lead again.
        QueueRenderLead();
    }
}

ULONG CMiniportWaveCyclicStreamUsbAudio::BufferOffset(PVOID address) const {
    ULONG_PTR offset = (ULONG_PTR)address - (ULONG_PTR)Buffer;
    if (offset >= BufferBytes) {
        offset -= BufferBytes;
    }
    if (offset >= BufferBytes) {
        UA_ERROR("position %p outside the %lu-byte buffer at %p", address, (unsigned long)BufferBytes, Buffer);
        return 0;
    }
    return (ULONG)offset;
}

ULONG CMiniportWaveCyclicStreamUsbAudio::ExchangePosition(ULONG position) {
    return (ULONG)InterlockedExchange(&Position, (LONG)position);
}

ULONG CMiniportWaveCyclicStreamUsbAudio::SetPlayPosition(PVOID address) {
    const ULONG offset = BufferOffset(address);
    InterlockedExchange(&ReadPosition, (LONG)offset);
    return ExchangePosition(offset);
}

ULONG CMiniportWaveCyclicStreamUsbAudio::AdvancePlayPosition(ULONG byteCount) {
    ULONG position = (ULONG)InterlockedCompareExchange(&Position, 0, 0) + byteCount;
    if (position >= BufferBytes) {
        position -= BufferBytes;
    }
    InterlockedExchange(&ReadPosition, (LONG)position);
    return ExchangePosition(position);
}

ULONG CMiniportWaveCyclicStreamUsbAudio::SetRecordPosition(PVOID address) {
    // The address is where the next frame will be written; the last complete
    // frame ends one block before it.
    LONG offset = (LONG)BufferOffset(address) - (LONG)BlockAlign;
    if (offset < 0) {
        offset += (LONG)BufferBytes;
    }
    InterlockedExchange(&WritePosition, offset);
    return ExchangePosition((ULONG)offset);
}
