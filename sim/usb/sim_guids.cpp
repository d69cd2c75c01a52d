// The USB bus interface GUID for the simulated bus (weak, like the driver's).
#include <initguid.h>

#include <wdm.h>
#include <usb.h>
#include <usbbusif.h>
