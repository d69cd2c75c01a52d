#include "driver/asiochannel/asio_sample_conversion.h"

ULONG AsioSampleBytes(ULONG) { return 0; }
VOID AsioRenderUnsupported(PVOID, PVOID, ULONG, ULONG) {}
VOID AsioCaptureUnsupported(PVOID, PVOID, ULONG, ULONG) {}
PASIO_CONVERT AsioRenderConversion(ULONG, ULONG) { return AsioRenderUnsupported; }
PASIO_CONVERT AsioCaptureConversion(ULONG, ULONG) { return AsioCaptureUnsupported; }
