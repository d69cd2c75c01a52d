// The common reply to a KSPROPERTY_TYPE_BASICSUPPORT request of a property
// without members: a full description when the value buffer holds one, else
// just the access flags.
#pragma once

#include "driver/runtime/kernel_prelude.h"

// >= 40 bytes: KSPROPERTY_DESCRIPTION (size 40, no members), value size 40;
// 4..39 bytes: the access flags, value size 4; less: value size 0 and
// STATUS_BUFFER_TOO_SMALL.
NTSTATUS PropertyBasicSupportReply(PPCPROPERTY_REQUEST request, ULONG accessFlags);
