/* Makes DEFINE_GUID define (not just declare) the GUIDs of headers included
   after it, as the SDK's initguid.h does. */
#define INITGUID
#include <guiddef.h>
