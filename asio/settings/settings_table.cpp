#include "asio/settings/settings_table.h"

const AsioSettingRow kAsioSettingTable[] = {
    {kAsioSettingUnnamed, L"", REG_SZ, 128},
    {kAsioSettingBufferSize, L"buffer_size", REG_DWORD, 4},
    {kAsioSettingSamplingRate, L"sampling_rate", REG_DWORD, 4},
    {kAsioSettingBitDepth, L"bit_depth", REG_DWORD, 4},
    {kAsioSettingFormat, L"format", REG_BINARY, 1},
    {kAsioSettingSelected, L"selected", REG_SZ, 256},
    {kAsioSettingLock, L"lock", REG_BINARY, 1},
    {kAsioSettingNotify, L"notify", REG_BINARY, 1},
    {kAsioSettingStreaming, L"streaming", REG_DWORD, 4},
    {0, L"", 0, 0},
};

namespace {

bool IsClosingRow(const AsioSettingRow& row) { return row.id == 0 && row.type == 0 && row.valueName[0] == 0; }

}  // namespace

const AsioSettingRow* FindAsioSetting(int id) {
  for (const AsioSettingRow* row = kAsioSettingTable; !IsClosingRow(*row); ++row) {
    if (row->id == id) return row;
  }
  return nullptr;
}
