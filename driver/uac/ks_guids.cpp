#include "driver/uac/ks_guids.h"

namespace {

// Wave format subtypes share the {xxxxxxxx-0000-0010-8000-00AA00389B71} tail.
constexpr GUID WaveSubtype(ULONG tag) {
    return GUID{tag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

}  // namespace

const GUID UA_KSDATAFORMAT_TYPE_AUDIO = WaveSubtype(0x73647561);  // 'auds'
const GUID UA_KSDATAFORMAT_SUBTYPE_PCM = WaveSubtype(0x0001);
const GUID UA_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = WaveSubtype(0x0003);
const GUID UA_KSDATAFORMAT_SUBTYPE_ALAW = WaveSubtype(0x0006);
const GUID UA_KSDATAFORMAT_SUBTYPE_MULAW = WaveSubtype(0x0007);
const GUID UA_KSDATAFORMAT_SUBTYPE_ANALOG = {0x6DBA3190, 0x67BD, 0x11CF, {0xA0, 0xF7, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
const GUID UA_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX = {0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
const GUID UA_KSDATAFORMAT_SPECIFIER_NONE = {0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
