// Placeholder; its owner rewrites it.
#include "panel/reg_key_watcher.h"

CRegKeyWatcher::CRegKeyWatcher(HKEY root) : m_root(root) {}
CRegKeyWatcher::~CRegKeyWatcher() {}
DWORD CRegKeyWatcher::Start() { return ERROR_CALL_NOT_IMPLEMENTED; }
void CRegKeyWatcher::Stop() {}
DWORD CRegKeyWatcher::CountLogicalProcessors(ULONG* count) {
  *count = 0;
  return 1;
}
DWORD WINAPI CRegKeyWatcher::WatchThread(LPVOID) { return 0; }
DWORD CRegKeyWatcher::WatchLoop() { return 0; }
void CRegKeyWatcher::CloseThreads() {}
void CRegistryNotify::OnKeyChanged() {}
