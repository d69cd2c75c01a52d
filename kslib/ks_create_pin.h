// KsCreatePin of "ksuser.dll", resolved at run time on first use and kept
// for the life of the process.
#pragma once

#include "kslib/user_prelude.h"

namespace kslib {

// KsCreatePin's Win32 error code (0 on success); ERROR_FILE_NOT_FOUND (2)
// when the module or the function is missing.
DWORD CallKsCreatePin(HANDLE filter, KSPIN_CONNECT* connect, ACCESS_MASK access, HANDLE* pin);

namespace testing {
// Forgets the resolution so the next call loads the module again.
void ForgetKsCreatePin();
}  // namespace testing

}  // namespace kslib
