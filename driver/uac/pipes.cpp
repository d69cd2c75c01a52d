// Binding of the current alternate settings' endpoints to the pipes the USB
// stack returned, and the feedback period that follows from them.
#include "driver/runtime/trace.h"
#include "driver/uac/usbaudiocl.h"

namespace {

constexpr ULONG MIN_FEEDBACK_PERIOD_MS = 16;
constexpr ULONG MAX_FEEDBACK_PERIOD_MS = 1024;

ULONG ClampFeedbackPeriod(ULONG period) {
    if (period <= 15) {
        return MIN_FEEDBACK_PERIOD_MS;
    }
    return period > MAX_FEEDBACK_PERIOD_MS ? MAX_FEEDBACK_PERIOD_MS : period;
}

ULONG PowerOfTwo(ULONG exponent) {
    // Exponents past the clamp limit all mean "as long as allowed".
    return exponent >= 20 ? (1UL << 20) : (1UL << exponent);
}

}  // namespace

static VOID NormaliseInterval(PUSBD_PIPE_INFORMATION pipe, BOOLEAN highSpeed) {
    if (pipe->PipeType != UsbdPipeTypeIsochronous) {
        return;
    }
    UCHAR interval = pipe->Interval;
    if (highSpeed) {
        interval = interval == 0 ? 1 : (interval > 4 ? 4 : interval);
    } else {
        interval = 1;
    }
    if (interval != pipe->Interval) {
        UA_TRACE("pipe 0x%02x: interval %u corrected to %u", pipe->EndpointAddress, pipe->Interval, interval);
        pipe->Interval = interval;
    }
}

NTSTATUS CUSBAudioCL::ResolvePipes(StreamingInterface* only) {
    NTSTATUS result = STATUS_SUCCESS;
    for (StreamingInterface* streaming = StreamingInterfaces; streaming != NULL; streaming = streaming->Next) {
        if (only != NULL && streaming != only) {
            continue;
        }
        streaming->DataPipe = NULL;
        streaming->FeedbackPipe = NULL;
        if (streaming->CurrentAlternate >= streaming->AlternateCount) {
            result = STATUS_NOT_SUPPORTED;
            continue;
        }
        const AlternateSetting& setting = streaming->Alternates[streaming->CurrentAlternate];
        if (setting.DataEndpoint != NULL) {
            streaming->DataPipe = FindPipe(setting.DataEndpoint->bEndpointAddress);
            if (streaming->DataPipe == NULL) {
                UA_ERROR("interface %u: no pipe for data endpoint 0x%02x", streaming->InterfaceNumber,
                         setting.DataEndpoint->bEndpointAddress);
                result = STATUS_NOT_SUPPORTED;
            } else {
                NormaliseInterval(streaming->DataPipe, isHighSpeed);
            }
        }
        if (setting.FeedbackEndpoint == NULL) {
            continue;
        }
        streaming->FeedbackPipe = FindPipe(setting.FeedbackEndpoint->bEndpointAddress);
        if (streaming->FeedbackPipe == NULL) {
            UA_ERROR("interface %u: no pipe for feedback endpoint 0x%02x", streaming->InterfaceNumber,
                     setting.FeedbackEndpoint->bEndpointAddress);
            result = STATUS_NOT_SUPPORTED;
            continue;
        }
        PUSBD_PIPE_INFORMATION feedback = streaming->FeedbackPipe;
        NormaliseInterval(feedback, isHighSpeed);
        ULONG period;
        if (isUac2) {
            const ULONG interval = feedback->Interval == 0 ? 1 : feedback->Interval;
            period = PowerOfTwo(interval - 1);
            if (isHighSpeed) {
                period /= 8;
            }
        } else if (setting.FeedbackEndpoint->bLength >= 9) {
            period = PowerOfTwo(reinterpret_cast<PUCHAR>(setting.FeedbackEndpoint)[7]);
        } else {
            period = feedback->Interval;
        }
        streaming->FeedbackPeriod = ClampFeedbackPeriod(period);
    }
    return result;
}
