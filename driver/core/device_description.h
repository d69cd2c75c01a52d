// The device description the package's INF gives the supported device; on
// Windows SetupAPI returns it as SPDRP_DEVICEDESC once the driver is
// installed, and user mode shows it as the device's name (the ASIO channel
// name prefix, the control panel's list text). Kept as one string so the INF
// check can compare the two.
#pragma once

#define VM_USBAUDIO_DEVICE_DESCRIPTION L"Velmora USB DAC"
