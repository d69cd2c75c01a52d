// Defines the port library's interface and class identifiers once for the
// host (on Windows they come from the DDK's libraries). Weak, so a driver
// that defines them as well links without conflict.
#include <initguid.h>

#include <wdm.h>
#include <portcls.h>
#include <stdunk.h>
