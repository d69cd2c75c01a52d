#include "driver/asiochannel/asio_buffer.h"

CAsioBuffer::CAsioBuffer()
    : ConvertRender(), ConvertCapture(), Channel(0), SampleType(0), Frames(0), Half(), ClientHalf(), Owner(NULL) {}
VOID CAsioBuffer::Init(CAsioDeviceBuffer*, ULONG, ULONG, ULONG, PUCHAR, ULONG_PTR) {}
VOID CAsioBuffer::Clear() {}
VOID CAsioBuffer::Render(ULONG, PUCHAR, ULONG, ULONG) {}
VOID CAsioBuffer::Capture(ULONG, PUCHAR, ULONG, ULONG) {}

CAsioDeviceBuffer::CAsioDeviceBuffer()
    : Count(0), Channels(NULL), Position(0), HalfFrames(0), Block(NULL), ClientBlock(0), Mdl(NULL), CurrentHalf(0),
      BlockBytes(0), MappingProcess(NULL) {}
CAsioDeviceBuffer::~CAsioDeviceBuffer() { Free(); }
NTSTATUS CAsioDeviceBuffer::AllocateAndMapForUserSpace(const AsioBufferRequest*, ULONG, ULONG) {
    return STATUS_INVALID_DEVICE_REQUEST;
}
VOID CAsioDeviceBuffer::Free() {}
NTSTATUS CAsioDeviceBuffer::DescribeChannels(PVOID, ULONG, BOOLEAN) { return STATUS_INVALID_DEVICE_REQUEST; }
ULONG CAsioDeviceBuffer::FirstSampleType() const { return 0; }
ULONG CAsioDeviceBuffer::DeviceFramesPerHalf() const { return 0; }
VOID CAsioDeviceBuffer::SetCurrentHalf(ULONG) {}
VOID CAsioDeviceBuffer::Toggle() {}
VOID CAsioDeviceBuffer::RecordStreamError(NTSTATUS) {}
VOID CAsioDeviceBuffer::CopyRender(PUCHAR, ULONG, ULONG, ULONG) {}
VOID CAsioDeviceBuffer::CopyCapture(PUCHAR, ULONG, ULONG, ULONG) {}
VOID CAsioDeviceBuffer::CopyChannels(BOOLEAN, PUCHAR, ULONG, ULONG, ULONG) {}
