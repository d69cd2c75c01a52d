// KS format GUIDs the data ranges carry, defined here so the driver does not
// depend on which GUID library a build links.
#pragma once

#include "driver/runtime/kernel_prelude.h"

extern const GUID UA_KSDATAFORMAT_TYPE_AUDIO;
extern const GUID UA_KSDATAFORMAT_SUBTYPE_PCM;
extern const GUID UA_KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
extern const GUID UA_KSDATAFORMAT_SUBTYPE_ALAW;
extern const GUID UA_KSDATAFORMAT_SUBTYPE_MULAW;
extern const GUID UA_KSDATAFORMAT_SUBTYPE_ANALOG;
extern const GUID UA_KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
extern const GUID UA_KSDATAFORMAT_SPECIFIER_NONE;
