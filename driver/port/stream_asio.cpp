// CMiniportWaveCyclicStreamUsbAudio: the low-latency channel's streaming side.
#include "driver/port/stream.h"

BOOLEAN CMiniportWaveCyclicStreamUsbAudio::SignalClientEvent() { return FALSE; }
VOID CMiniportWaveCyclicStreamUsbAudio::RecordStreamError(NTSTATUS) {}
VOID CMiniportWaveCyclicStreamUsbAudio::AsioTimingNotification() {}
VOID CMiniportWaveCyclicStreamUsbAudio::AsioCaptureTiming() {}
VOID CMiniportWaveCyclicStreamUsbAudio::AsioRenderTiming() {}
VOID CMiniportWaveCyclicStreamUsbAudio::StartAsioRender() {}
ULONG CMiniportWaveCyclicStreamUsbAudio::QueuedBytes() const { return 0; }
VOID CMiniportWaveCyclicStreamUsbAudio::CopyFromAsioBuffer(PUCHAR, ULONG) {}
VOID CMiniportWaveCyclicStreamUsbAudio::CopyToAsioBuffer(PUCHAR, ULONG) {}
