// The user-mode platform headers, in the order the Windows SDK needs them.
// User-mode code of the package includes this instead of the SDK headers.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <objbase.h>
#include <strsafe.h>
#include <ks.h>
#include <ksmedia.h>
