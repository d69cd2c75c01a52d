// USB terminal types and KS node types as GUIDs, and their names for traces.
#pragma once

#include "driver/runtime/kernel_prelude.h"

// KS category GUID of a USB terminal type, or null for types Windows has
// no node type for.
const GUID* TerminalTypeCategory(USHORT terminalType);
// A constant name for traces; "Unknown" when the GUID is not known.
const char* GuidTraceName(const GUID* guid);

// Node-type and category GUIDs used by the filter topology.
extern const GUID UA_KSNODETYPE_DAC;
extern const GUID UA_KSNODETYPE_ADC;
extern const GUID UA_KSNODETYPE_MUTE;
extern const GUID UA_KSNODETYPE_VOLUME;
extern const GUID UA_KSNODETYPE_TONE;
extern const GUID UA_KSNODETYPE_EQUALIZER;
extern const GUID UA_KSNODETYPE_AGC;
extern const GUID UA_KSNODETYPE_DELAY;
extern const GUID UA_KSNODETYPE_LOUDNESS;
extern const GUID UA_KSNODETYPE_DEV_SPECIFIC;
extern const GUID UA_KSCATEGORY_AUDIO;
