// Volume and mute of feature units, the class 1.0 endpoint sampling rate and
// the vendor request that switches the device between PCM and DSD transport.
#include "driver/runtime/trace.h"
#include "driver/uac/uac_defs.h"
#include "driver/uac/usbaudiocl.h"

namespace {

constexpr ULONG CONTROL_MUTE = 0;
constexpr ULONG CONTROL_VOLUME = 1;
constexpr UCHAR REQUEST_CUR = 0x01;
constexpr UCHAR REQUEST_RANGE = 0x02;  // class 2.0
constexpr UCHAR REQUEST_MIN = 0x02;    // class 1.0, GET_MIN = 0x82
constexpr UCHAR REQUEST_MAX = 0x03;
constexpr UCHAR REQUEST_RES = 0x04;
constexpr ULONG CAPABILITY_READ = 1;
constexpr ULONG CAPABILITY_WRITE = 2;
constexpr UCHAR ENDPOINT_SET = 0x22;
constexpr UCHAR ENDPOINT_GET = 0xA2;
constexpr UCHAR UAC1_SET_CUR = 0x01;
constexpr UCHAR UAC1_GET_CUR = 0x81;
constexpr USHORT SAMPLING_FREQ_CONTROL_VALUE = 0x0100;
constexpr UCHAR VENDOR_INTERFACE_OUT = 0x41;
constexpr UCHAR VENDOR_SET_MODE = 0x00;

SHORT ReadS16(const UCHAR* p) {
    return (SHORT)(USHORT)(p[0] | (p[1] << 8));
}

}  // namespace

NTSTATUS CUSBAudioCL::FeatureUnitRequest(CUSBAudioFeatureUnit* unit, UCHAR channel, ULONG control, BOOLEAN get,
                                         UCHAR request, PVOID buffer, USHORT length) {
    BOOLEAN allowed = FALSE;
    if (control == CONTROL_VOLUME) {
        if (isUac2) {
            allowed = (request == REQUEST_CUR && length == 2) || (request == REQUEST_RANGE && length == 8);
        } else {
            allowed = request >= REQUEST_CUR && request <= REQUEST_RES && length == 2;
        }
    } else if (control == CONTROL_MUTE) {
        allowed = request == REQUEST_CUR && length == 1;
    }
    if (!allowed) {
        return STATUS_NOT_SUPPORTED;
    }
    if (!HasControl(unit, channel, control, get ? CAPABILITY_READ : CAPABILITY_WRITE)) {
        UA_TRACE("feature unit %u channel %u has no %s control %lu", unit->GetId(), channel, get ? "readable" : "writable",
                 (unsigned long)control);
        return STATUS_NOT_SUPPORTED;
    }
    UCHAR code = request;
    if (!isUac2 && get) {
        code = (UCHAR)(request + 0x80);
    }
    return AudioClassRequest(get ? 0xA1 : 0x21, code, (UCHAR)(control + 1), channel, unit->GetId(), length, buffer);
}

NTSTATUS CUSBAudioCL::SetVolume(CUSBAudioFeatureUnit* unit, UCHAR channel, SHORT volume) {
    if (unit == NULL) {
        UA_ERROR("SetVolume without a feature unit");
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR value[2] = {(UCHAR)volume, (UCHAR)((USHORT)volume >> 8)};
    NTSTATUS status = FeatureUnitRequest(unit, channel, CONTROL_VOLUME, FALSE, REQUEST_CUR, value, sizeof(value));
    if (NT_SUCCESS(status)) {
        UA_TRACE("volume of unit %u channel %u set to %d", unit->GetId(), channel, volume);
    }
    return status;
}

NTSTATUS CUSBAudioCL::GetVolume(CUSBAudioFeatureUnit* unit, UCHAR channel, PSHORT volume) {
    if (unit == NULL) {
        UA_ERROR("GetVolume without a feature unit");
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR value[2] = {0, 0};
    NTSTATUS status = FeatureUnitRequest(unit, channel, CONTROL_VOLUME, TRUE, REQUEST_CUR, value, sizeof(value));
    if (NT_SUCCESS(status)) {
        *volume = ReadS16(value);
        UA_TRACE("volume of unit %u channel %u is %d", unit->GetId(), channel, *volume);
    }
    return status;
}

NTSTATUS CUSBAudioCL::GetVolumeRange(CUSBAudioFeatureUnit* unit, UCHAR channel, PSHORT minimum, PSHORT maximum,
                                     PSHORT step) {
    if (unit == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (isUac2) {
        UCHAR range[8] = {0};
        NTSTATUS status = FeatureUnitRequest(unit, channel, CONTROL_VOLUME, TRUE, REQUEST_RANGE, range, sizeof(range));
        if (NT_SUCCESS(status)) {
            *minimum = ReadS16(range + 2);
            *maximum = ReadS16(range + 4);
            *step = ReadS16(range + 6);
        }
        return status;
    }
    const UCHAR requests[3] = {REQUEST_MIN, REQUEST_MAX, REQUEST_RES};
    PSHORT outputs[3] = {minimum, maximum, step};
    for (ULONG i = 0; i < 3; ++i) {
        UCHAR value[2] = {0, 0};
        NTSTATUS status = FeatureUnitRequest(unit, channel, CONTROL_VOLUME, TRUE, requests[i], value, sizeof(value));
        if (!NT_SUCCESS(status)) {
            return status;
        }
        *outputs[i] = ReadS16(value);
    }
    return STATUS_SUCCESS;
}

NTSTATUS CUSBAudioCL::SetMute(CUSBAudioFeatureUnit* unit, UCHAR mute) {
    if (unit == NULL) {
        UA_ERROR("SetMute without a feature unit");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = FeatureUnitRequest(unit, 0, CONTROL_MUTE, FALSE, REQUEST_CUR, &mute, 1);
    if (NT_SUCCESS(status)) {
        UA_TRACE("mute of unit %u set to %u", unit->GetId(), mute);
    }
    return status;
}

NTSTATUS CUSBAudioCL::GetMute(CUSBAudioFeatureUnit* unit, PUCHAR mute) {
    if (unit == NULL) {
        UA_ERROR("GetMute without a feature unit");
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR value = 0;
    NTSTATUS status = FeatureUnitRequest(unit, 0, CONTROL_MUTE, TRUE, REQUEST_CUR, &value, 1);
    if (NT_SUCCESS(status)) {
        *mute = value;
    }
    return status;
}

NTSTATUS CUSBAudioCL::SetEndpointSampleRate(UCHAR endpointAddress, ULONG rate) {
    UCHAR value[3] = {(UCHAR)rate, (UCHAR)(rate >> 8), (UCHAR)(rate >> 16)};
    return ControlRequest(ENDPOINT_SET, UAC1_SET_CUR, SAMPLING_FREQ_CONTROL_VALUE, endpointAddress, sizeof(value),
                          value);
}

NTSTATUS CUSBAudioCL::GetEndpointSampleRate(UCHAR endpointAddress, PULONG rate) {
    UCHAR value[3] = {0, 0, 0};
    ULONG transferred = 0;
    *rate = 0;
    NTSTATUS status = ControlRequest(ENDPOINT_GET, UAC1_GET_CUR, SAMPLING_FREQ_CONTROL_VALUE, endpointAddress,
                                     sizeof(value), value, &transferred);
    if (NT_SUCCESS(status) && transferred < sizeof(value)) {
        UA_ERROR("endpoint 0x%02x rate: %lu of 3 bytes", endpointAddress, (unsigned long)transferred);
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status)) {
        *rate = uac::ReadU24(value);
    }
    return status;
}

NTSTATUS CUSBAudioCL::SetDeviceMode(USHORT mode) {
    for (StreamingInterface* streaming = StreamingInterfaces; streaming != NULL; streaming = streaming->Next) {
        NTSTATUS status = ControlRequest(VENDOR_INTERFACE_OUT, VENDOR_SET_MODE, mode, streaming->InterfaceNumber, 0, NULL);
        if (!NT_SUCCESS(status)) {
            UA_ERROR("device mode %u on interface %u failed 0x%08lx", mode, streaming->InterfaceNumber,
                     (unsigned long)status);
            return status;
        }
        streaming->DeviceMode = mode;
    }
    return STATUS_SUCCESS;
}
