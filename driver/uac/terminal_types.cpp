#include "driver/uac/terminal_types.h"

namespace {

// Windows names every USB terminal type T by {DFF219E0 + T, F70F, 11D0, B917-00A0C9223196}.
constexpr GUID UsbTerminalGuid(USHORT type) {
    return GUID{(ULONG)(0xDFF219E0UL + type), 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
}

constexpr GUID KsNodeGuid(ULONG data1, USHORT data2) {
    return GUID{data1, data2, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
}

struct TerminalRange {
    USHORT First;
    USHORT Last;
};

// The terminal types Windows defines node types for.
constexpr TerminalRange KnownTerminalRanges[] = {
    {0x0201, 0x0206}, {0x0301, 0x0307}, {0x0401, 0x0405}, {0x0501, 0x0503}, {0x0601, 0x0607}, {0x0701, 0x0713},
};

// Names in the order of the ranges above.
const char* const TerminalNames[] = {
    "MICROPHONE", "DESKTOP_MICROPHONE", "PERSONAL_MICROPHONE", "OMNI_DIRECTIONAL_MICROPHONE", "MICROPHONE_ARRAY",
    "PROCESSING_MICROPHONE_ARRAY",
    "SPEAKER", "HEADPHONES", "HEAD_MOUNTED_DISPLAY_AUDIO", "DESKTOP_SPEAKER", "ROOM_SPEAKER",
    "COMMUNICATION_SPEAKER", "LOW_FREQUENCY_EFFECTS_SPEAKER",
    "HANDSET", "HEADSET", "SPEAKERPHONE_NO_ECHO_REDUCTION", "ECHO_SUPPRESSING_SPEAKERPHONE",
    "ECHO_CANCELING_SPEAKERPHONE",
    "PHONE_LINE", "TELEPHONE", "DOWN_LINE_PHONE",
    "ANALOG_CONNECTOR", "DIGITAL_AUDIO_INTERFACE", "LINE_CONNECTOR", "LEGACY_AUDIO_CONNECTOR", "SPDIF_INTERFACE",
    "1394_DA_STREAM", "1394_DV_STREAM_SOUNDTRACK",
    "LEVEL_CALIBRATION_NOISE_SOURCE", "EQUALIZATION_NOISE", "CD_PLAYER", "DAT_IO_DIGITAL_AUDIO_TAPE",
    "DCC_IO_DIGITAL_COMPACT_CASSETTE", "MINIDISK", "ANALOG_TAPE", "PHONOGRAPH", "VCR_AUDIO", "VIDEO_DISC_AUDIO",
    "DVD_AUDIO", "TV_TUNER_AUDIO", "SATELLITE_RECEIVER_AUDIO", "CABLE_TUNER_AUDIO", "DSS_AUDIO", "RADIO_RECEIVER",
    "RADIO_TRANSMITTER", "MULTITRACK_RECORDER", "SYNTHESIZER",
};

struct NamedGuid {
    GUID Guid;
    const char* Name;
};

const NamedGuid NodeTypeNames[] = {
    {KsNodeGuid(0x507AE360, 0xC554), "DAC"},
    {KsNodeGuid(0x4D837FE0, 0xC555), "ADC"},
    {KsNodeGuid(0x9DB7B9E0, 0xC555), "SRC"},
    {KsNodeGuid(0xE573ADC0, 0xC555), "SUPERMIX"},
    {KsNodeGuid(0x2CEAF780, 0xC556), "MUX"},
    {GUID{0xC0EB67D4, 0xE807, 0x11D0, {0x95, 0x8A, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3}}, "DEMUX"},
    {KsNodeGuid(0xDA441A60, 0xC556), "SUM"},
    {KsNodeGuid(0x02B223C0, 0xC557), "MUTE"},
    {KsNodeGuid(0x3A5ACC00, 0xC557), "VOLUME"},
    {KsNodeGuid(0x7607E580, 0xC557), "TONE"},
    {KsNodeGuid(0x9D41B4A0, 0xC557), "EQUALIZER"},
    {KsNodeGuid(0xE88C9BA0, 0xC557), "AGC"},
    {GUID{0xE07F903F, 0x62FD, 0x4E60, {0x8C, 0xDD, 0xDE, 0xA7, 0x23, 0x66, 0x65, 0xB5}}, "NOISE_SUPPRESS"},
    {KsNodeGuid(0x144981E0, 0xC558), "DELAY"},
    {KsNodeGuid(0x41887440, 0xC558), "LOUDNESS"},
    {KsNodeGuid(0x831C2C80, 0xC558), "PROLOGIC_DECODER"},
    {KsNodeGuid(0xA9E69800, 0xC558), "STEREO_WIDE"},
    {KsNodeGuid(0xEF0328E0, 0xC558), "REVERB"},
    {KsNodeGuid(0x20173F20, 0xC559), "CHORUS"},
    {KsNodeGuid(0x55515860, 0xC559), "3D_EFFECTS"},
    {GUID{0x19BB3A6A, 0xCE2B, 0x4442, {0x87, 0xEC, 0x67, 0x27, 0xC3, 0xCA, 0xB4, 0x77}}, "PARAMETRIC_EQUALIZER"},
    {GUID{0xB7EDC5CF, 0x7B63, 0x4EE2, {0xA1, 0x00, 0x29, 0xEE, 0x2C, 0xB6, 0xB2, 0xDE}}, "UPDOWN_MIX"},
    {GUID{0x08C8A6A8, 0x601F, 0x4AF8, {0x87, 0x93, 0xD9, 0x05, 0xFF, 0x4C, 0xA9, 0x7D}}, "DYN_RANGE_COMPRESSOR"},
    {KsNodeGuid(0xBF963D80, 0xC559), "ACOUSTIC_ECHO_CANCEL"},
    {GUID{0x830A44F2, 0xA32D, 0x476B, {0xBE, 0x97, 0x42, 0x84, 0x56, 0x73, 0xB3, 0x5A}}, "MICROPHONE_ARRAY_PROCESSOR"},
    {KsNodeGuid(0x941C7AC0, 0xC559), "DEV_SPECIFIC"},
    {GUID{0x8074C5B2, 0x3C66, 0x11D2, {0xB4, 0x5A, 0x30, 0x78, 0x30, 0x2C, 0x20, 0x30}}, "SURROUND_ENCODER"},
    {GUID{0xA085651E, 0x5F0D, 0x4B36, {0xA8, 0x69, 0xD1, 0x95, 0xD6, 0xAB, 0x4B, 0x9E}}, "PEAKMETER"},
    {GUID{0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}}, "USB streaming"},
};

// Every terminal GUID that TerminalTypeCategory can return, built once from the ranges.
struct TerminalGuidTable {
    GUID Guids[sizeof(TerminalNames) / sizeof(TerminalNames[0])];
};

constexpr TerminalGuidTable MakeTerminalGuidTable() {
    TerminalGuidTable table{};
    ULONG index = 0;
    for (const TerminalRange& range : KnownTerminalRanges) {
        for (ULONG type = range.First; type <= range.Last; ++type) {
            table.Guids[index++] = UsbTerminalGuid((USHORT)type);
        }
    }
    return table;
}

constexpr TerminalGuidTable TerminalGuids = MakeTerminalGuidTable();

constexpr ULONG CountKnownTerminalTypes() {
    ULONG count = 0;
    for (const TerminalRange& range : KnownTerminalRanges) {
        count += range.Last - range.First + 1;
    }
    return count;
}
static_assert(CountKnownTerminalTypes() == sizeof(TerminalNames) / sizeof(TerminalNames[0]),
              "one name per known terminal type");

BOOLEAN SameGuid(const GUID& a, const GUID& b) {
    return RtlCompareMemory(&a, &b, sizeof(GUID)) == sizeof(GUID);
}

}  // namespace

const GUID UA_KSNODETYPE_DAC = KsNodeGuid(0x507AE360, 0xC554);
const GUID UA_KSNODETYPE_ADC = KsNodeGuid(0x4D837FE0, 0xC555);
const GUID UA_KSNODETYPE_MUTE = KsNodeGuid(0x02B223C0, 0xC557);
const GUID UA_KSNODETYPE_VOLUME = KsNodeGuid(0x3A5ACC00, 0xC557);
const GUID UA_KSNODETYPE_TONE = KsNodeGuid(0x7607E580, 0xC557);
const GUID UA_KSNODETYPE_EQUALIZER = KsNodeGuid(0x9D41B4A0, 0xC557);
const GUID UA_KSNODETYPE_AGC = KsNodeGuid(0xE88C9BA0, 0xC557);
const GUID UA_KSNODETYPE_DELAY = KsNodeGuid(0x144981E0, 0xC558);
const GUID UA_KSNODETYPE_LOUDNESS = KsNodeGuid(0x41887440, 0xC558);
const GUID UA_KSNODETYPE_DEV_SPECIFIC = KsNodeGuid(0x941C7AC0, 0xC559);
const GUID UA_KSCATEGORY_AUDIO = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

const GUID* TerminalTypeCategory(USHORT terminalType) {
    ULONG index = 0;
    for (const TerminalRange& range : KnownTerminalRanges) {
        if (terminalType >= range.First && terminalType <= range.Last) {
            return &TerminalGuids.Guids[index + (terminalType - range.First)];
        }
        index += range.Last - range.First + 1;
    }
    return NULL;
}

const char* GuidTraceName(const GUID* guid) {
    if (guid == NULL) {
        return "Unknown";
    }
    for (ULONG i = 0; i < sizeof(TerminalNames) / sizeof(TerminalNames[0]); ++i) {
        if (SameGuid(*guid, TerminalGuids.Guids[i])) {
            return TerminalNames[i];
        }
    }
    for (const NamedGuid& entry : NodeTypeNames) {
        if (SameGuid(*guid, entry.Guid)) {
            return entry.Name;
        }
    }
    return "Unknown";
}
