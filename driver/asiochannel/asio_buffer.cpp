// The shared block of a low-latency stream and its channels. Everything that
// sizes or indexes the block comes from the client's request, so it is
// checked and computed in 64 bits before anything is allocated; what the
// client may write later (the header words) is never read back.
#include "driver/asiochannel/asio_buffer.h"

#include <new>

#include "driver/runtime/pool_tags.h"
#include "driver/runtime/trace.h"

namespace {

constexpr UCHAR PCM_SILENCE = 0x00;
constexpr UCHAR DSD_SILENCE = 0xAA;
constexpr ULONG DSD_BYTES_PER_DEVICE_FRAME = 4;  // one 32-bit container carries four DSD bytes
constexpr ULONG MAX_WIDTH = 4;

// The array-new layout: the element count, then the elements.
constexpr SIZE_T CHANNEL_ARRAY_PREFIX =
    sizeof(SIZE_T) > alignof(CAsioBuffer) ? sizeof(SIZE_T) : alignof(CAsioBuffer);
// The MDL describing the block takes a 32-bit length; the block is whole pages.
constexpr ULONGLONG MAX_BLOCK_BYTES = 0xFFFFFFFFULL & ~static_cast<ULONGLONG>(PAGE_SIZE - 1);
// What one pin's client may pin down in non-paged memory. Honest blocks
// (64 channels of 8-byte samples at an 8192-frame buffer: 8 MB; DSD at
// 32768 bytes per half: far less) stay well below it; anything above is an
// unprivileged process draining the system's non-paged pool.
constexpr ULONGLONG MAX_CLIENT_BLOCK_BYTES = 32ULL * 1024 * 1024;
// Entries beyond this many (each channel of a frame four times over) only
// grow the channel array.
constexpr ULONG MAX_CHANNEL_ENTRIES = 4 * 256;

BOOLEAN IsDsdType(ULONG sampleType) {
    return sampleType == ASIOSTDSDInt8LSB1 || sampleType == ASIOSTDSDInt8MSB1;
}

BOOLEAN IsDeviceGoneStatus(NTSTATUS status) {
    return status == STATUS_NO_SUCH_DEVICE || status == STATUS_DELETE_PENDING || status == STATUS_DEVICE_NOT_CONNECTED;
}

// ASIO bytes one device frame of this width takes from the channel's half.
ULONG AsioStep(ULONG widthBytes, ULONG sampleType) {
    return widthBytes == MAX_WIDTH && IsDsdType(sampleType) ? DSD_BYTES_PER_DEVICE_FRAME : AsioSampleBytes(sampleType);
}

}  // namespace

// ---- CAsioBuffer

CAsioBuffer::CAsioBuffer()
    : ConvertRender(), ConvertCapture(), Channel(0), SampleType(0), Frames(0), Half(), ClientHalf(), Owner(NULL) {
    for (ULONG width = 1; width <= MAX_WIDTH; ++width) {
        ConvertRender[width] = AsioRenderUnsupported;
        ConvertCapture[width] = AsioCaptureUnsupported;
    }
}

VOID CAsioBuffer::Init(CAsioDeviceBuffer* owner, ULONG channel, ULONG sampleType, ULONG frames, PUCHAR kernelAddress,
                       ULONG_PTR clientAddress) {
    if (frames == 0 || (frames & 1) != 0 || kernelAddress == NULL) {
        return;
    }
    Owner = owner;
    Channel = channel;
    SampleType = sampleType;
    Frames = frames;
    for (ULONG width = 1; width <= MAX_WIDTH; ++width) {
        ConvertRender[width] = AsioRenderConversion(width, sampleType);
        ConvertCapture[width] = AsioCaptureConversion(width, sampleType);
    }
    const SIZE_T halfBytes = static_cast<SIZE_T>(AsioSampleBytes(sampleType)) * (frames / 2);
    Half[0] = kernelAddress;
    Half[1] = kernelAddress + halfBytes;
    ClientHalf[0] = clientAddress;
    ClientHalf[1] = clientAddress + halfBytes;
    Clear();
}

VOID CAsioBuffer::Clear() {
    if (!HasHalves()) {
        return;
    }
    const SIZE_T halfBytes = static_cast<SIZE_T>(AsioSampleBytes(SampleType)) * (Frames / 2);
    const UCHAR silence = IsDsdType(SampleType) ? DSD_SILENCE : PCM_SILENCE;
    RtlFillMemory(Half[0], halfBytes, silence);
    RtlFillMemory(Half[1], halfBytes, silence);
}

namespace {

// The ASIO address for the owner's current half and position, and how many
// of `frames` fit before the end of that half (0: the half is used up).
PUCHAR AsioRun(const CAsioBuffer& channel, ULONG widthBytes, PULONG frames) {
    const ULONG step = AsioStep(widthBytes, channel.SampleType);
    const ULONGLONG halfBytes = static_cast<ULONGLONG>(AsioSampleBytes(channel.SampleType)) * (channel.Frames / 2);
    const ULONGLONG used = static_cast<ULONGLONG>(step) * channel.Owner->GetPosition();
    if (step == 0 || used >= halfBytes) {
        *frames = 0;
        return NULL;
    }
    const ULONGLONG room = (halfBytes - used) / step;
    if (*frames > room) {
        *frames = static_cast<ULONG>(room);
    }
    return channel.Half[channel.Owner->GetCurrentHalf() != 0 ? 1 : 0] + used;
}

}  // namespace

VOID CAsioBuffer::Render(ULONG widthBytes, PUCHAR deviceAddress, ULONG frames, ULONG stride) {
    if (widthBytes == 0 || widthBytes > MAX_WIDTH || !HasHalves() || Owner == NULL) {
        return;
    }
    PUCHAR asio = AsioRun(*this, widthBytes, &frames);
    if (frames != 0) {
        ConvertRender[widthBytes](asio, deviceAddress, frames, stride);
    }
}

VOID CAsioBuffer::Capture(ULONG widthBytes, PUCHAR deviceAddress, ULONG frames, ULONG stride) {
    if (widthBytes == 0 || widthBytes > MAX_WIDTH || !HasHalves() || Owner == NULL) {
        return;
    }
    PUCHAR asio = AsioRun(*this, widthBytes, &frames);
    if (frames != 0) {
        ConvertCapture[widthBytes](deviceAddress, asio, frames, stride);
    }
}

// ---- CAsioDeviceBuffer

CAsioDeviceBuffer::CAsioDeviceBuffer()
    : Count(0), Channels(NULL), Position(0), HalfFrames(0), Block(NULL), ClientBlock(0), Mdl(NULL), CurrentHalf(0),
      BlockBytes(0), MappingProcess(NULL), Claimed(0) {}

CAsioDeviceBuffer::~CAsioDeviceBuffer() {
    Free();
    Position = 0;
    CurrentHalf = 0;
}

NTSTATUS CAsioDeviceBuffer::AllocateAndMapForUserSpace(const AsioBufferRequest* request, ULONG instanceBytes,
                                                       ULONG deviceChannels) {
    if (InterlockedCompareExchange(&Claimed, 1, 0) != 0) {
        UA_ERROR("asio buffers: already created");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const NTSTATUS status = Create(request, instanceBytes, deviceChannels);
    if (!NT_SUCCESS(status)) {
        InterlockedExchange(&Claimed, 0);
    }
    return status;
}

NTSTATUS CAsioDeviceBuffer::Create(const AsioBufferRequest* request, ULONG instanceBytes, ULONG deviceChannels) {
    // The request as received: every size from it in 64 bits.
    if (request == NULL || instanceBytes < ASIO_BUFFER_REQUEST_MIN_BYTES) {
        UA_ERROR("asio buffers: instance of %lu bytes", (unsigned long)instanceBytes);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const ULONG count = request->count;
    const ULONG frames = request->frames;
    if (count == 0 || 8ULL + 8ULL * count > instanceBytes) {
        UA_ERROR("asio buffers: %lu entries in %lu bytes", (unsigned long)count, (unsigned long)instanceBytes);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // Zero or odd frames leave the channels without (equal) halves.
    if (frames == 0 || (frames & 1) != 0) {
        UA_ERROR("asio buffers: %lu frames", (unsigned long)frames);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONGLONG blockBytes = ASIO_SHARED_HEADER_BYTES;
    for (ULONG i = 0; i < count; ++i) {
        const AsioBufferRequestEntry& entry = request->entries[i];
        const ULONG sampleBytes = AsioSampleBytes(entry.sampleType);
        // A type without a size would make a channel of no bytes whose
        // halves alias the next channel's: nothing the client can use.
        if (entry.channel >= deviceChannels || sampleBytes == 0) {
            UA_ERROR("asio buffers: entry %lu: channel %lu of %lu, type %lu", (unsigned long)i,
                     (unsigned long)entry.channel, (unsigned long)deviceChannels, (unsigned long)entry.sampleType);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        blockBytes += static_cast<ULONGLONG>(sampleBytes) * frames;
        if (blockBytes > MAX_BLOCK_BYTES) {
            UA_ERROR("asio buffers: block beyond %llu bytes", (unsigned long long)MAX_BLOCK_BYTES);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    // Whole pages: the user view covers whole pages, and must show nothing
    // but this block.
    const ULONGLONG pageBytes = (blockBytes + PAGE_SIZE - 1) & ~static_cast<ULONGLONG>(PAGE_SIZE - 1);
    if (pageBytes > MAX_BLOCK_BYTES) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (pageBytes > MAX_CLIENT_BLOCK_BYTES || count > MAX_CHANNEL_ENTRIES) {
        UA_ERROR("asio buffers: %llu bytes for %lu entries is more than a client may hold",
                 (unsigned long long)pageBytes, (unsigned long)count);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONGLONG arrayBytes = CHANNEL_ARRAY_PREFIX + static_cast<ULONGLONG>(count) * sizeof(CAsioBuffer);
    if (arrayBytes > static_cast<ULONGLONG>(static_cast<SIZE_T>(-1))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PUCHAR block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, static_cast<SIZE_T>(pageBytes), POOLTAG_USB));
    if (block == NULL) {
        UA_ERROR("asio buffers: no block of %llu bytes", (unsigned long long)pageBytes);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Header, gaps and the tail of the last page: no stale kernel bytes in
    // the client's view.
    RtlZeroMemory(block, static_cast<SIZE_T>(pageBytes));
    PMDL mdl = IoAllocateMdl(block, static_cast<ULONG>(pageBytes), FALSE, FALSE, NULL);
    if (mdl == NULL) {
        ExFreePoolWithTag(block, POOLTAG_USB);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(mdl);
    // On Windows a user-mode mapping that cannot be made raises rather than
    // returning null; without structured exception handling in this build
    // only the null return is handled.
    PVOID client = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, NULL, FALSE, NormalPagePriority);
    if (client == NULL) {
        UA_ERROR("asio buffers: no user mapping");
        IoFreeMdl(mdl);
        ExFreePoolWithTag(block, POOLTAG_USB);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUCHAR array = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, static_cast<SIZE_T>(arrayBytes), POOLTAG_USB));
    if (array == NULL) {
        MmUnmapLockedPages(client, mdl);
        IoFreeMdl(mdl);
        ExFreePoolWithTag(block, POOLTAG_USB);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(array, static_cast<SIZE_T>(arrayBytes));
    *reinterpret_cast<SIZE_T*>(array) = count;
    CAsioBuffer* channels = reinterpret_cast<CAsioBuffer*>(array + CHANNEL_ARRAY_PREFIX);
    for (ULONG i = 0; i < count; ++i) {
        new (&channels[i]) CAsioBuffer();
    }

    // The mapping is removed in this process, whatever context frees it.
    PEPROCESS process = PsGetCurrentProcess();
    ObReferenceObject(process);

    Block = block;
    BlockBytes = static_cast<SIZE_T>(pageBytes);
    Mdl = mdl;
    ClientBlock = reinterpret_cast<ULONG_PTR>(client);
    MappingProcess = process;
    Channels = channels;
    Position = 0;
    CurrentHalf = 0;
    HalfFrames = frames / 2;
    ULONGLONG offset = ASIO_SHARED_HEADER_BYTES;
    for (ULONG i = 0; i < count; ++i) {
        // Read once more: each channel is placed only where the checked
        // sizes put room for it.
        const ULONG channel = request->entries[i].channel;
        const ULONG sampleType = request->entries[i].sampleType;
        const ULONGLONG channelBytes = static_cast<ULONGLONG>(AsioSampleBytes(sampleType)) * frames;
        if (channel >= deviceChannels || channelBytes == 0 || offset + channelBytes > blockBytes) {
            UA_ERROR("asio buffers: request changed while read");
            Free();
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        channels[i].Init(this, channel, sampleType, frames, block + offset, ClientBlock + offset);
        offset += channelBytes;
    }
    volatile AsioSharedHeader* header = Header();
    AsioHeaderStore(&header->currentHalf, 0);
    AsioHeaderStore(&header->toggleCount, 0);
    AsioHeaderStore(&header->streamError, 0);
    // Last: the other direction's streaming context reads the count.
    __atomic_store_n(&Count, count, __ATOMIC_RELEASE);
    UA_TRACE("asio buffers: %lu channels, %lu frames per half, block %llu bytes", (unsigned long)count,
             (unsigned long)HalfFrames, (unsigned long long)pageBytes);
    return STATUS_SUCCESS;
}

VOID CAsioDeviceBuffer::Free() {
    __atomic_store_n(&Count, 0, __ATOMIC_RELEASE);
    HalfFrames = 0;
    if (Channels != NULL) {
        PUCHAR array = reinterpret_cast<PUCHAR>(Channels) - CHANNEL_ARRAY_PREFIX;
        const SIZE_T elements = *reinterpret_cast<SIZE_T*>(array);
        for (SIZE_T i = elements; i > 0; --i) {
            Channels[i - 1].~CAsioBuffer();
        }
        Channels = NULL;
        ExFreePoolWithTag(array, POOLTAG_USB);
    }
    if (ClientBlock != 0 && Mdl != NULL) {
        PEPROCESS current = PsGetCurrentProcess();
        if (MappingProcess != NULL && current != MappingProcess) {
            KAPC_STATE apcState;
            KeStackAttachProcess(reinterpret_cast<PKPROCESS>(MappingProcess), &apcState);
            MmUnmapLockedPages(reinterpret_cast<PVOID>(ClientBlock), Mdl);
            KeUnstackDetachProcess(&apcState);
        } else {
            MmUnmapLockedPages(reinterpret_cast<PVOID>(ClientBlock), Mdl);
        }
    }
    ClientBlock = 0;
    if (Mdl != NULL) {
        IoFreeMdl(Mdl);
        Mdl = NULL;
    }
    if (Block != NULL) {
        ExFreePoolWithTag(Block, POOLTAG_USB);
        Block = NULL;
    }
    BlockBytes = 0;
    if (MappingProcess != NULL) {
        ObDereferenceObject(MappingProcess);
        MappingProcess = NULL;
    }
    InterlockedExchange(&Claimed, 0);
}

NTSTATUS CAsioDeviceBuffer::DescribeChannels(PVOID value, ULONG valueBytes, BOOLEAN caller32Bit) {
    const ULONG count = GetCount();
    const ULONGLONG entryBytes = caller32Bit ? sizeof(AsioBufferInfo32) : sizeof(AsioBufferInfo64);
    if (count == 0 || value == NULL || entryBytes * count > valueBytes) {
        UA_ERROR("asio buffers: describe %lu channels in %lu bytes", (unsigned long)count, (unsigned long)valueBytes);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PUCHAR out = static_cast<PUCHAR>(value);
    for (ULONG i = 0; i < count; ++i) {
        CAsioBuffer& channel = Channels[i];
        if (caller32Bit) {
            AsioBufferInfo32 info;
            info.channel = channel.Channel;
            info.sampleType = channel.SampleType;
            info.halfFrames = HalfFrames;
            for (ULONG h = 0; h < 2; ++h) {
                info.kernelHalf[h] = static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(channel.Half[h]));
                info.clientHalf[h] = static_cast<uint32_t>(channel.ClientHalf[h]);
            }
            RtlCopyMemory(out, &info, sizeof(info));
        } else {
            AsioBufferInfo64 info;
            info.channel = channel.Channel;
            info.sampleType = channel.SampleType;
            info.halfFrames = HalfFrames;
            for (ULONG h = 0; h < 2; ++h) {
                info.kernelHalf[h] = reinterpret_cast<ULONG_PTR>(channel.Half[h]);
                info.clientHalf[h] = channel.ClientHalf[h];
            }
            RtlCopyMemory(out, &info, sizeof(info));
        }
        out += entryBytes;
        channel.Clear();
    }
    // The value goes back to the client at the size it gave: nothing of the
    // kernel's after the entries.
    RtlZeroMemory(out, valueBytes - static_cast<SIZE_T>(entryBytes * count));
    return STATUS_SUCCESS;
}

ULONG CAsioDeviceBuffer::FirstSampleType() const {
    return GetCount() != 0 ? Channels[0].SampleType : 0;
}

ULONG CAsioDeviceBuffer::DeviceFramesPerHalf() const {
    if (GetCount() == 0) {
        return 0;
    }
    // Both DSD types put four bytes into each 32-bit container.
    return IsDsdType(FirstSampleType()) ? HalfFrames / DSD_BYTES_PER_DEVICE_FRAME : HalfFrames;
}

VOID CAsioDeviceBuffer::SetCurrentHalf(ULONG half) {
    __atomic_store_n(&CurrentHalf, half != 0 ? 1UL : 0UL, __ATOMIC_RELEASE);
}

VOID CAsioDeviceBuffer::Toggle() {
    Position = 0;
    const ULONG half = GetCurrentHalf() != 0 ? 0 : 1;
    __atomic_store_n(&CurrentHalf, half, __ATOMIC_RELEASE);
    if (Block != NULL) {
        volatile AsioSharedHeader* header = Header();
        AsioHeaderStore(&header->currentHalf, half);
        AsioHeaderIncrement(&header->toggleCount);
    }
}

VOID CAsioDeviceBuffer::RecordStreamError(NTSTATUS status) {
    // Completion context: the count (acquire) orders the block's creation
    // before this store.
    if (!IsDeviceGoneStatus(status) || GetCount() == 0 || Block == NULL) {
        return;
    }
    AsioHeaderStore(&Header()->streamError, static_cast<uint32_t>(status));
}

VOID CAsioDeviceBuffer::CopyRender(PUCHAR deviceAddress, ULONG frames, ULONG stride, ULONG containerBits) {
    CopyChannels(TRUE, deviceAddress, frames, stride, containerBits);
}

VOID CAsioDeviceBuffer::CopyCapture(PUCHAR deviceAddress, ULONG frames, ULONG stride, ULONG containerBits) {
    CopyChannels(FALSE, deviceAddress, frames, stride, containerBits);
}

VOID CAsioDeviceBuffer::CopyChannels(BOOLEAN render, PUCHAR deviceAddress, ULONG frames, ULONG stride,
                                     ULONG containerBits) {
    const ULONG count = GetCount();
    if (count == 0 || frames == 0) {
        return;
    }
    if (containerBits >= 8 && containerBits <= 39 && deviceAddress != NULL) {
        const ULONG width = containerBits / 8;
        for (ULONG i = 0; i < count; ++i) {
            CAsioBuffer& channel = Channels[i];
            // The channel's container must lie inside the device frame.
            if (static_cast<ULONGLONG>(width) * (static_cast<ULONGLONG>(channel.Channel) + 1) > stride) {
                continue;
            }
            PUCHAR device = deviceAddress + static_cast<SIZE_T>(width) * channel.Channel;
            if (render) {
                channel.Render(width, device, frames, stride);
            } else {
                channel.Capture(width, device, frames, stride);
            }
        }
    }
    Position = Position + frames < Position ? 0xFFFFFFFFUL : Position + frames;
}
