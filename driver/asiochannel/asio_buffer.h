// The shared block of a low-latency stream: a 16-byte header followed, per
// ASIO channel, by two equal halves in the channel's ASIO sample type. It is
// allocated from non-paged pool and mapped into the client's process, so the
// client and the streaming context address the same bytes. The stream
// converts between the halves and its cyclic buffer's interleaved frames.
#pragma once

#include "driver/asiochannel/asio_protocol.h"
#include "driver/asiochannel/asio_sample_conversion.h"
#include "driver/runtime/kernel_prelude.h"

class CAsioDeviceBuffer;

// One ASIO channel: its halves and the conversions for each container width.
class CAsioBuffer {
public:
    // Every conversion slot set (width 1 to 4 the unsupported routine until
    // Init picks the table cells), no halves.
    CAsioBuffer();

    // Frames: both halves together. An odd count leaves the channel without
    // halves (the request is refused before it gets here).
    VOID Init(CAsioDeviceBuffer* owner, ULONG channel, ULONG sampleType, ULONG frames, PUCHAR kernelAddress,
              ULONG_PTR clientAddress);
    // Both halves to silence: 0xAA for DSD types, 0x00 otherwise.
    VOID Clear();
    BOOLEAN HasHalves() const { return Half[0] != NULL; }

    // One run of `frames` device frames of `widthBytes`-byte containers,
    // at the owner's current half and position.
    VOID Render(ULONG widthBytes, PUCHAR deviceAddress, ULONG frames, ULONG stride);
    VOID Capture(ULONG widthBytes, PUCHAR deviceAddress, ULONG frames, ULONG stride);

    PASIO_CONVERT ConvertRender[5];   // [container bytes]; slot 0 unused
    PASIO_CONVERT ConvertCapture[5];  // [container bytes]; slot 0 unused
    ULONG Channel;
    ULONG SampleType;
    ULONG Frames;
    PUCHAR Half[2];
    ULONG_PTR ClientHalf[2];
    CAsioDeviceBuffer* Owner;
};

class CAsioDeviceBuffer {
public:
    CAsioDeviceBuffer();
    ~CAsioDeviceBuffer();
    CAsioDeviceBuffer(const CAsioDeviceBuffer&) = delete;
    CAsioDeviceBuffer& operator=(const CAsioDeviceBuffer&) = delete;

    // KSPROPERTY_ASIO_BUFFERS SET, in the requesting process's context:
    // checks the request (`instanceBytes` as received; every entry's channel
    // below `deviceChannels`, frames even and non-zero, sizes in 64 bits),
    // allocates the block in whole pages, maps it into the caller's process
    // and creates the channels. STATUS_INVALID_DEVICE_REQUEST for a request
    // that does not hold, STATUS_INSUFFICIENT_RESOURCES when memory or the
    // mapping cannot be had; nothing is left behind on failure.
    NTSTATUS AllocateAndMapForUserSpace(const AsioBufferRequest* request, ULONG instanceBytes, ULONG deviceChannels);
    // Channels, user mapping (removed in the process it was made in), MDL,
    // block. Safe to call twice.
    VOID Free();

    // KSPROPERTY_ASIO_BUFFERS GET: one AsioBufferInfo64 (or AsioBufferInfo32
    // for a 32-bit caller) per channel in creation order, each channel's
    // halves cleared right after its entry. STATUS_INVALID_DEVICE_REQUEST
    // without buffers or with a value shorter than count entries.
    NTSTATUS DescribeChannels(PVOID value, ULONG valueBytes, BOOLEAN caller32Bit);

    // Published last at creation (release): a non-zero count read here
    // (acquire) sees the channels complete, from any context.
    ULONG GetCount() const { return __atomic_load_n(&Count, __ATOMIC_ACQUIRE); }
    ULONG GetHalfFrames() const { return HalfFrames; }
    ULONG GetPosition() const { return Position; }
    // The kernel's own half (0 or 1), never the client-writable header word;
    // atomic, as the other direction's streaming context reads it.
    ULONG GetCurrentHalf() const { return __atomic_load_n(&CurrentHalf, __ATOMIC_ACQUIRE); }
    // The sample type of the first channel (0 without buffers).
    ULONG FirstSampleType() const;
    // Frames the render side takes per half from the cyclic buffer: half
    // frames, a quarter of them for DSD in 32-bit containers.
    ULONG DeviceFramesPerHalf() const;

    // The render block follows the capture block (low-latency with inputs).
    VOID SetCurrentHalf(ULONG half);
    // Position 0, the other half, header word 0 = the half, word 1 + 1.
    VOID Toggle();
    // Header word 2, for the three device-gone statuses only.
    VOID RecordStreamError(NTSTATUS status);

    // Channel-list copies between the current halves and `frames` device
    // frames at `deviceAddress` (stride = frame size; container bits 8..39),
    // then position += frames. Never converts past the end of a half.
    VOID CopyRender(PUCHAR deviceAddress, ULONG frames, ULONG stride, ULONG containerBits);
    VOID CopyCapture(PUCHAR deviceAddress, ULONG frames, ULONG stride, ULONG containerBits);

    // Kernel view of the header (null without buffers).
    volatile AsioSharedHeader* Header() const { return reinterpret_cast<volatile AsioSharedHeader*>(Block); }
    // Client address of the block (0 without buffers).
    ULONG_PTR ClientBlockAddress() const { return ClientBlock; }

private:
    NTSTATUS Create(const AsioBufferRequest* request, ULONG instanceBytes, ULONG deviceChannels);
    VOID CopyChannels(BOOLEAN render, PUCHAR deviceAddress, ULONG frames, ULONG stride, ULONG containerBits);

    ULONG Count;
    CAsioBuffer* Channels;
    ULONG Position;
    ULONG HalfFrames;
    PUCHAR Block;
    ULONG_PTR ClientBlock;
    PMDL Mdl;
    ULONG CurrentHalf;
    SIZE_T BlockBytes;
    PEPROCESS MappingProcess;  // referenced while the user mapping exists
    // 1 from the start of a creation until Free: two creations never overlap.
    volatile LONG Claimed;
};
