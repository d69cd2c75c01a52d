// Audio-class codes and descriptor offsets (USB Audio Class 1.0 and 2.0).
#pragma once

#include "driver/runtime/kernel_prelude.h"

namespace uac {

constexpr UCHAR CLASS_AUDIO = 0x01;
constexpr UCHAR CLASS_VENDOR_SPECIFIC = 0xFF;
constexpr UCHAR SUBCLASS_AUDIOCONTROL = 0x01;
constexpr UCHAR SUBCLASS_AUDIOSTREAMING = 0x02;

constexpr UCHAR CS_INTERFACE = 0x24;
constexpr UCHAR CS_ENDPOINT = 0x25;

// AC interface descriptor subtypes.
constexpr UCHAR AC_UNDEFINED = 0x00;
constexpr UCHAR AC_HEADER = 0x01;
constexpr UCHAR AC_INPUT_TERMINAL = 0x02;
constexpr UCHAR AC_OUTPUT_TERMINAL = 0x03;
constexpr UCHAR AC_MIXER_UNIT = 0x04;
constexpr UCHAR AC_SELECTOR_UNIT = 0x05;
constexpr UCHAR AC_FEATURE_UNIT = 0x06;
constexpr UCHAR AC_PROCESSING_UNIT_V1 = 0x07;  // 2.0: effect unit
constexpr UCHAR AC_EXTENSION_UNIT_V1 = 0x08;   // 2.0: processing unit
constexpr UCHAR AC_EXTENSION_UNIT_V2 = 0x09;
constexpr UCHAR AC_CLOCK_SOURCE = 0x0A;
constexpr UCHAR AC_CLOCK_SELECTOR = 0x0B;
constexpr UCHAR AC_CLOCK_MULTIPLIER = 0x0C;
constexpr UCHAR AC_SAMPLE_RATE_CONVERTER = 0x0D;

// AS interface descriptor subtypes.
constexpr UCHAR AS_GENERAL = 0x01;
constexpr UCHAR AS_FORMAT_TYPE = 0x02;
constexpr UCHAR EP_GENERAL = 0x01;
constexpr UCHAR FORMAT_TYPE_I = 0x01;

constexpr USHORT BCD_ADC_2_0 = 0x0200;
constexpr USHORT TERMINAL_USB_STREAMING = 0x0101;
constexpr USHORT TERMINAL_USB_UNDEFINED = 0x0100;

// Smallest class-specific descriptors whose fixed fields the driver reads.
constexpr UCHAR MIN_AC_HEADER_V2 = 9;
constexpr UCHAR MIN_AC_HEADER_V1 = 8;
constexpr UCHAR MIN_CLOCK_SOURCE = 8;
constexpr UCHAR MIN_CLOCK_SELECTOR = 7;
constexpr UCHAR MIN_INPUT_TERMINAL_V2 = 17;
constexpr UCHAR MIN_INPUT_TERMINAL_V1 = 12;
constexpr UCHAR MIN_OUTPUT_TERMINAL_V2 = 12;
constexpr UCHAR MIN_OUTPUT_TERMINAL_V1 = 9;
constexpr UCHAR MIN_FEATURE_UNIT_V2 = 6;
constexpr UCHAR MIN_FEATURE_UNIT_V1 = 7;
constexpr UCHAR MIN_UNIT = 4;
constexpr UCHAR MIN_AS_GENERAL_V2 = 16;
constexpr UCHAR MIN_AS_GENERAL_V1 = 7;
constexpr UCHAR MIN_FORMAT_TYPE_I_V2 = 6;
constexpr UCHAR MIN_FORMAT_TYPE_I_V1 = 8;
constexpr UCHAR MIN_CS_ENDPOINT = 4;

inline USHORT ReadU16(const UCHAR* p) { return (USHORT)(p[0] | (p[1] << 8)); }
inline ULONG ReadU24(const UCHAR* p) { return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16); }
inline ULONG ReadU32(const UCHAR* p) {
    return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}

}  // namespace uac
