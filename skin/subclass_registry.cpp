#include "skin/subclass_registry.h"

namespace {

uintptr_t Key(HWND window) { return reinterpret_cast<uintptr_t>(window); }

}  // namespace

void SubclassRegistry::Insert(HWND window, const SubclassEntry& entry) {
  entries_[Key(window)] = entry;
}

bool SubclassRegistry::Find(HWND window, SubclassEntry* entry) const {
  auto found = entries_.find(Key(window));
  if (found == entries_.end()) return false;
  *entry = found->second;
  return true;
}

void SubclassRegistry::Erase(HWND window) { entries_.erase(Key(window)); }

void SubclassRegistry::Release(HWND window, WNDPROC ourProc) {
  auto found = entries_.find(Key(window));
  if (found == entries_.end()) return;
  if (!::IsWindow(window)) {
    entries_.erase(found);
    return;
  }
  auto current = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(window, GWLP_WNDPROC));
  if (current != ourProc) {
    found->second.host = nullptr;
    return;
  }
  // The procedure goes back before the entry goes, so no message finds neither.
  ::SetWindowLongPtrW(window, GWLP_WNDPROC,
                      reinterpret_cast<LONG_PTR>(found->second.previousProc));
  entries_.erase(found);
}

void SubclassRegistry::ReleaseHost(const LayeredWindowHost* host, WNDPROC ourProc) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    auto next = std::next(it);
    if (it->second.host == host) Release(reinterpret_cast<HWND>(it->first), ourProc);
    it = next;
  }
}

size_t SubclassRegistry::CountHost(const LayeredWindowHost* host) const {
  size_t count = 0;
  for (const auto& entry : entries_) {
    if (entry.second.host == host) ++count;
  }
  return count;
}

SubclassRegistry& GetSubclassRegistry() {
  static SubclassRegistry registry;
  return registry;
}
