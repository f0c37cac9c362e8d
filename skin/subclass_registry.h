// Which window shows on which skin: for every window whose procedure a layered host replaced,
// the procedure that was there before and the host to refresh. One per process, used only by
// the UI thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>

class LayeredWindowHost;

struct SubclassEntry {
  WNDPROC previousProc = nullptr;
  LayeredWindowHost* host = nullptr;  // null once the host is gone: messages only pass through
};

class SubclassRegistry {
 public:
  // Stores `entry` for `window`, replacing an older one.
  void Insert(HWND window, const SubclassEntry& entry);
  // Copies the entry of `window` into *entry; false when there is none.
  bool Find(HWND window, SubclassEntry* entry) const;
  void Erase(HWND window);

  // Gives a window back the procedure it had before `ourProc` and forgets it. When someone has
  // since installed a procedure over ours, ours must stay in the chain: the entry is kept, but
  // without a host.
  void Release(HWND window, WNDPROC ourProc);
  // Release for every window of `host`.
  void ReleaseHost(const LayeredWindowHost* host, WNDPROC ourProc);

  size_t Size() const { return entries_.size(); }
  size_t CountHost(const LayeredWindowHost* host) const;

 private:
  // Ordered by the handle's value as an unsigned integer.
  std::map<uintptr_t, SubclassEntry> entries_;
};

// The process's one registry, made on first use.
SubclassRegistry& GetSubclassRegistry();
