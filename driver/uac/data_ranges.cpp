// KS data ranges of the streaming interfaces.
#include "driver/uac/usbaudiocl.h"

NTSTATUS CUSBAudioCL::BuildDataRanges(StreamingInterface* streaming) {
    UNREFERENCED_PARAMETER(streaming);
    return STATUS_SUCCESS;
}
