// Host-only access to a wave-cyclic pin's data path. Clients stream as on
// Windows with IOCTL_KS_WRITE_STREAM / READ_STREAM requests (the audio
// engine does); PortPinWrite / PortPinRead are shortcuts for simple tests
// that hand bytes to the port directly. The port moves them as the real one does: whenever the
// stream is serviced (the miniport's Notify) and when the pin reaches
// PAUSE, render data goes into the cyclic buffer through the stream's
// IDmaChannel::CopyTo up to the play position, and recorded data comes out
// through CopyFrom up to the record position. Where a render client has no
// data, the buffer up to the play position is filled with the stream's
// Silence; that silence is not queued with CopyTo, so the driver does not
// play it (its pump underruns and moves the position on instead).
#pragma once

#include <wdm.h>
#include <ks.h>

#include <cstdint>

namespace platform {

struct PortPinInfo {
  ULONG pinId = 0;
  bool capture = false;
  KSSTATE state = KSSTATE_STOP;
  ULONG bufferSize = 0;               // the DMA channel's buffer size
  ULONG notificationFrameSize = 0;    // from SetNotificationFreq
  ULONGLONG services = 0;             // service requests seen
  ULONG position = 0;                 // last position read from the stream
  ULONGLONG bytesToBuffer = 0;        // render: bytes copied in with CopyTo
  ULONGLONG bytesFromBuffer = 0;      // capture: bytes copied out with CopyFrom
  ULONG queuedBytes = 0;              // render: in the buffer ahead of the play position
  ULONGLONG silenceBytes = 0;         // render: bytes filled with the stream's Silence
  ULONGLONG starvedBytes = 0;         // render: how long (bytes at the stream's rate) the driver
                                      // had taken all the client wrote while running (client late)
  ULONGLONG firstStarvedAt = 0;       // render: stream byte offset where that first happened
  size_t pendingClientBytes = 0;      // render: written (or in stream requests), not yet in the buffer
  size_t availableClientBytes = 0;    // capture: recorded, not yet read
  ULONG queuedRequests = 0;           // KS stream requests queued on the pin
  ULONGLONG droppedCaptureBytes = 0;  // capture: recorded with no stream request to take them
};

// STATUS_INVALID_HANDLE for a handle that is not a pin of the port library.
NTSTATUS PortPinInfoOf(HANDLE pin, PortPinInfo* info);
// Render pins: queues bytes for the cyclic buffer.
NTSTATUS PortPinWrite(HANDLE pin, const void* data, size_t bytes);
// Capture pins: takes up to `bytes` recorded bytes; *read = what was taken.
NTSTATUS PortPinRead(HANDLE pin, void* data, size_t bytes, size_t* read);
// Waits until a service pass that began after the pin had seen more than
// `servicesSeen` service requests (PortPinInfo::services) has finished:
// STATUS_SUCCESS, or STATUS_TIMEOUT after timeoutMs. Safe from any client
// thread; the service itself runs in the driver's threads.
NTSTATUS PortPinWaitForService(HANDLE pin, ULONGLONG servicesSeen, ULONG timeoutMs);

}  // namespace platform
