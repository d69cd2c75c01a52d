// The table of creatable classes: the driver object only.
#include "asio/com/class_factory.h"
#include "asio/com/dll_entry.h"
#include "asio/driver/kel_asio_driver.h"

// {897B5A9B-25C7-4C20-BD6A-C13EA4397A6A}
const CLSID CLSID_KelAsioDriver = {0x897B5A9B, 0x25C7, 0x4C20, {0xBD, 0x6A, 0xC1, 0x3E, 0xA4, 0x39, 0x7A, 0x6A}};

const ClassTableRow g_classTable[] = {
    {L"KelAsioDriver", &CLSID_KelAsioDriver, &CKelAsioDriver::CreateInstance, nullptr},
};
const int g_classTableCount = sizeof(g_classTable) / sizeof(g_classTable[0]);
