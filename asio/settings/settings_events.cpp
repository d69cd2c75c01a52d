// The change notification between the control panel and running drivers,
// and a driver's set of settings events.
#include "asio/settings/settings_store.h"

void SettingsStore::Notify() {
  // No presence event: no driver is listening.
  HANDLE presence = OpenEventW(SYNCHRONIZE, FALSE, VM_ASIO_PRESENCE_EVENT);
  if (presence == nullptr) return;
  CloseHandle(presence);
  HANDLE changed = OpenEventW(EVENT_MODIFY_STATE, FALSE, VM_ASIO_CHANGED_EVENT);
  if (changed == nullptr) return;
  SetEvent(changed);
  CloseHandle(changed);
}

bool SettingsStore::CreateEvents() {
  CloseEvents();
  keep_ = CreateEventW(nullptr, TRUE, FALSE, VM_ASIO_KEEP_EVENT);
  if (keep_ != nullptr) presence_ = CreateEventW(nullptr, TRUE, FALSE, VM_ASIO_PRESENCE_EVENT);
  if (presence_ != nullptr) changed_ = CreateEventW(nullptr, FALSE, FALSE, VM_ASIO_CHANGED_EVENT);
  if (changed_ != nullptr) stop_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (stop_ != nullptr) return true;
  CloseEvents();
  return false;
}

void SettingsStore::CloseEvents() {
  // Reverse order of creation.
  HANDLE* const handles[] = {&stop_, &changed_, &presence_, &keep_};
  for (HANDLE* h : handles) {
    if (*h != nullptr) CloseHandle(*h);
    *h = nullptr;
  }
}
