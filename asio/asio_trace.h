// The user-mode trace provider shared by the ASIO driver and the control
// panel (control GUID {F9B424D4-51A1-40E0-8EB1-1B9097AF9811}), and the ASIO
// driver's trace lines. Diagnostics only: nothing here changes behaviour
// and nothing fails the caller.
#pragma once

#include "kslib/user_prelude.h"

enum AsioTraceLevel : UCHAR {
  kAsioTraceError = 2,
  kAsioTraceWarning = 3,
  kAsioTraceInfo = 4,
  kAsioTraceVerbose = 5,
};

// The provider's control GUID.
extern const GUID kAsioTraceControlGuid;

// Registers the provider (once per process; counted, so nested pairs work).
void AsioTraceRegister();
void AsioTraceUnregister();

// Writes one formatted line (printf-style, narrow) at `level`. Bounded
// buffer on the stack: no allocation, usable on the buffer-switch thread.
// Nothing is formatted while no trace session listens.
void AsioTrace(AsioTraceLevel level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The name of an ASIO error for traces ("ASE_OK" ... "Unknown").
const char* AsioErrorName(LONG error);

// Entry and exit lines of a driver method: "<method> Start." and
// "<method> Return. [<error name>]" (a failure at warning level). The exit
// form returns `result`, so a method can end with
// `return AsioTraceReturn("CKelAsioDriver::stop()", ASE_OK);`.
void AsioTraceEnter(const char* method);
LONG AsioTraceReturn(const char* method, LONG result);
