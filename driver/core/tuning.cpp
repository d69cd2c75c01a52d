// Registry-read tuning values of the streaming machinery and the allowed
// output-ready lateness, kept process-wide.
#include "driver/core/tuning.h"

#include "driver/runtime/trace.h"

namespace {

const WCHAR TuningKeyPath[] = L"\\Registry\\Machine\\SOFTWARE\\KEL\\Sample Device Performance";

// Plain data: nothing runs constructors in the kernel image.
StreamTuning RenderTuning = {DEFAULT_RENDER_FRAMES_PER_TRANSFER, DEFAULT_TRANSFERS_IN_FLIGHT};
StreamTuning CaptureTuning = {DEFAULT_CAPTURE_FRAMES_PER_TRANSFER, DEFAULT_TRANSFERS_IN_FLIGHT};
ULONG OutputDelayFrames = MIN_OUTPUT_DELAY_FRAMES;

// Stores a REG_DWORD (or the default, which the query passes the same way)
// into the ULONG the table entry names. A value of another type leaves the
// variable as it was, so nothing but four bytes is ever written there.
NTSTATUS NTAPI StoreDword(PWSTR valueName, ULONG valueType, PVOID valueData, ULONG valueLength, PVOID context,
                          PVOID entryContext) {
    UNREFERENCED_PARAMETER(context);
    if (valueType != REG_DWORD || valueLength != sizeof(ULONG) || valueData == NULL) {
        UA_ERROR("tuning value %ws: type %lu, %lu bytes ignored", valueName, (unsigned long)valueType,
                 (unsigned long)valueLength);
        return STATUS_SUCCESS;
    }
    RtlCopyMemory(entryContext, valueData, sizeof(ULONG));
    return STATUS_SUCCESS;
}

}  // namespace

VOID ReloadStreamTuning(BOOLEAN capture) {
    const ULONG defaultFrames = capture ? DEFAULT_CAPTURE_FRAMES_PER_TRANSFER : DEFAULT_RENDER_FRAMES_PER_TRANSFER;
    ULONG defaultCount = DEFAULT_TRANSFERS_IN_FLIGHT;
    ULONG frames = defaultFrames;
    ULONG count = defaultCount;
    ULONG framesDefault = defaultFrames;

    // One query for both values, each with its default.
    RTL_QUERY_REGISTRY_TABLE table[3];
    RtlZeroMemory(table, sizeof(table));
    table[0].QueryRoutine = StoreDword;
    table[0].Name = const_cast<PWSTR>(capture ? L"param3" : L"param1");
    table[0].EntryContext = &frames;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &framesDefault;
    table[0].DefaultLength = sizeof(ULONG);
    table[1].QueryRoutine = StoreDword;
    table[1].Name = const_cast<PWSTR>(capture ? L"param4" : L"param2");
    table[1].EntryContext = &count;
    table[1].DefaultType = REG_DWORD;
    table[1].DefaultData = &defaultCount;
    table[1].DefaultLength = sizeof(ULONG);

    const NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, TuningKeyPath, table, NULL, NULL);
    if (!NT_SUCCESS(status)) {
        frames = defaultFrames;
        count = DEFAULT_TRANSFERS_IN_FLIGHT;
    } else {
        if (frames == 0) {
            frames = defaultFrames;
        } else if (frames > MAX_FRAMES_PER_TRANSFER) {
            frames = MAX_FRAMES_PER_TRANSFER;
        }
        if (count == 0) {
            count = DEFAULT_TRANSFERS_IN_FLIGHT;
        } else if (count > MAX_TRANSFERS_IN_FLIGHT) {
            count = MAX_TRANSFERS_IN_FLIGHT;
        }
    }
    StreamTuning& tuning = capture ? CaptureTuning : RenderTuning;
    tuning.FramesPerTransfer = frames;
    tuning.TransfersInFlight = count;
    UA_TRACE("%s tuning: %lu ms per transfer, %lu in flight (query 0x%08lx)", capture ? "capture" : "render",
             (unsigned long)frames, (unsigned long)count, (unsigned long)status);
}

StreamTuning GetStreamTuning(BOOLEAN capture) {
    return capture ? CaptureTuning : RenderTuning;
}

VOID SetOutputDelayFrames(ULONG frames) {
    if (frames < MIN_OUTPUT_DELAY_FRAMES) {
        frames = MIN_OUTPUT_DELAY_FRAMES;
    } else if (frames > MAX_OUTPUT_DELAY_FRAMES) {
        frames = MAX_OUTPUT_DELAY_FRAMES;
    }
    OutputDelayFrames = frames;
}

ULONG GetOutputDelayFrames() {
    return OutputDelayFrames;
}
