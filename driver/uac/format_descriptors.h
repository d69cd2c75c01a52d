// Readers of the streaming descriptors of one alternate setting, for both
// class versions. Every read stays inside the descriptor's bLength.
#pragma once

#include "driver/runtime/kernel_prelude.h"
#include "driver/uac/uac_defs.h"

namespace uac {

// Type I format of an alternate setting, class-version independent.
struct FormatTypeI {
    ULONG Channels;
    ULONG SubslotBytes;
    ULONG BitResolution;
};

inline BOOLEAN ReadFormatTypeI(const UCHAR* general, const UCHAR* format, BOOLEAN uac2, FormatTypeI* out) {
    if (general == NULL || format == NULL) {
        return FALSE;
    }
    if (uac2) {
        if (general[5] != FORMAT_TYPE_I || format[0] < MIN_FORMAT_TYPE_I_V2 || format[3] != FORMAT_TYPE_I) {
            return FALSE;
        }
        out->Channels = general[10];
        out->SubslotBytes = format[4];
        out->BitResolution = format[5];
        return TRUE;
    }
    if (format[0] < MIN_FORMAT_TYPE_I_V1 || format[3] != FORMAT_TYPE_I) {
        return FALSE;
    }
    out->Channels = format[4];
    out->SubslotBytes = format[5];
    out->BitResolution = format[6];
    return TRUE;
}

// Class 1.0 sampling rates of a type I format descriptor: continuous (lower
// and upper) or a list of discrete rates, as many as the descriptor holds.
struct Uac1Rates {
    BOOLEAN Continuous;
    ULONG Count;
    const UCHAR* Table;
    ULONG Lower;
    ULONG Upper;
    ULONG Rate(ULONG i) const { return ReadU24(Table + 3 * i); }
};

inline BOOLEAN ReadUac1Rates(const UCHAR* format, Uac1Rates* out) {
    out->Continuous = FALSE;
    out->Count = 0;
    out->Table = format + 8;
    out->Lower = 0;
    out->Upper = 0;
    if (format[0] < MIN_FORMAT_TYPE_I_V1) {
        return FALSE;
    }
    if (format[7] == 0) {
        if (format[0] < 14) {
            return FALSE;
        }
        out->Continuous = TRUE;
        out->Lower = ReadU24(format + 8);
        out->Upper = ReadU24(format + 11);
        return TRUE;
    }
    const ULONG room = (format[0] - 8U) / 3U;
    out->Count = format[7] < room ? format[7] : room;
    return out->Count > 0;
}

}  // namespace uac
