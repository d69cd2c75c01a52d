// Defines the user-mode COM interface identifiers of <unknwn.h> once for the
// host (on Windows they come from the SDK's uuid library). Weak, so a program
// that defines them as well links without conflict.
#include <initguid.h>

#include <windows.h>
#include <unknwn.h>
