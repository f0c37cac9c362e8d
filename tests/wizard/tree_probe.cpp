// tree_probe.exe: reads and drives common controls of another process, which probe.exe cannot:
// their texts must be fetched through memory inside that process.
//
//   tree_probe.exe items TREE        every item in display order: HANDLE<TAB>depth<TAB>text
//   tree_probe.exe expand TREE ITEM  expands ITEM (its children are filled in on first expansion)
//   tree_probe.exe select TREE ITEM  makes ITEM the selection, as a click would
//   tree_probe.exe selected TREE     the selected item: HANDLE<TAB>text, or none
//   tree_probe.exe tips WINDOW       every tool of the tooltips WINDOW owns: CONTROL-ID<TAB>text
//   tree_probe.exe gdi WINDOW        gdi=N: the GDI objects that WINDOW's process holds for
//                                    good (the fewest of 25 looks 20 ms apart: a render
//                                    holds a few for a moment)
//
// Handles are hexadecimal. Texts are UTF-8, whatever the system code page.
#include <windows.h>
#include <commctrl.h>
#include <winternl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/text_win32.h"

namespace {

uintptr_t Parse(const char* text) { return static_cast<uintptr_t>(std::strtoull(text, nullptr, 0)); }

// A block of memory inside another process, freed on every path.
class RemoteBlock {
 public:
  RemoteBlock(HANDLE process, size_t size)
      : process_(process),
        address_(::VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE)) {}
  ~RemoteBlock() {
    if (address_) ::VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
  }
  RemoteBlock(const RemoteBlock&) = delete;
  RemoteBlock& operator=(const RemoteBlock&) = delete;
  char* get() const { return static_cast<char*>(address_); }

 private:
  HANDLE process_;
  void* address_;
};

std::string ItemText(HWND tree, HANDLE process, HTREEITEM item) {
  constexpr size_t kTextUnits = 260;
  RemoteBlock block(process, sizeof(TVITEMW) + kTextUnits * sizeof(wchar_t));
  if (!block.get()) return "?";
  TVITEMW request{};
  request.mask = TVIF_TEXT | TVIF_HANDLE;
  request.hItem = item;
  request.pszText = reinterpret_cast<wchar_t*>(block.get() + sizeof(TVITEMW));
  request.cchTextMax = kTextUnits;
  SIZE_T moved = 0;
  if (!::WriteProcessMemory(process, block.get(), &request, sizeof(request), &moved)) return "?";
  if (!::SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(block.get()))) return "?";
  wchar_t text[kTextUnits] = {};
  ::ReadProcessMemory(process, block.get() + sizeof(TVITEMW), text,
                      (kTextUnits - 1) * sizeof(wchar_t), &moved);
  return platform::WideToUtf8(text);
}

HTREEITEM Next(HWND tree, UINT relation, HTREEITEM item) {
  return reinterpret_cast<HTREEITEM>(
      ::SendMessageW(tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
}

void List(HWND tree, HANDLE process, HTREEITEM item, int depth) {
  for (; item; item = Next(tree, TVGN_NEXT, item)) {
    std::printf("0x%llx\t%d\t%s\n",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(item)), depth,
                ItemText(tree, process, item).c_str());
    List(tree, process, Next(tree, TVGN_CHILD, item), depth + 1);
  }
}

struct TipSearch {
  HWND owner;
  HANDLE process;
};

// One line per tool of a tooltip window owned by `search->owner`.
BOOL CALLBACK ListTips(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<TipSearch*>(param);
  char className[64] = {};
  ::GetClassNameA(window, className, sizeof(className));
  if (lstrcmpiA(className, TOOLTIPS_CLASSA) != 0) return TRUE;
  if (::GetWindow(window, GW_OWNER) != search->owner) return TRUE;
  constexpr size_t kTextUnits = 512;
  RemoteBlock block(search->process, sizeof(TTTOOLINFOW) + kTextUnits * sizeof(wchar_t));
  if (!block.get()) return TRUE;
  int count = static_cast<int>(::SendMessageW(window, TTM_GETTOOLCOUNT, 0, 0));
  for (int index = 0; index < count; ++index) {
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.lpszText = reinterpret_cast<wchar_t*>(block.get() + sizeof(TTTOOLINFOW));
    SIZE_T moved = 0;
    wchar_t zero[kTextUnits] = {};
    ::WriteProcessMemory(search->process, tool.lpszText, zero, sizeof(zero), &moved);
    ::WriteProcessMemory(search->process, block.get(), &tool, sizeof(tool), &moved);
    if (!::SendMessageW(window, TTM_ENUMTOOLSW, index, reinterpret_cast<LPARAM>(block.get()))) {
      continue;
    }
    ::ReadProcessMemory(search->process, block.get(), &tool, sizeof(tool), &moved);
    wchar_t text[kTextUnits] = {};
    ::ReadProcessMemory(search->process, block.get() + sizeof(TTTOOLINFOW), text,
                        (kTextUnits - 1) * sizeof(wchar_t), &moved);
    std::printf("%d\t%s\n", ::GetDlgCtrlID(tool.hwnd), platform::WideToUtf8(text).c_str());
  }
  return TRUE;
}

// The GDI handle table the system keeps for a process, found through its process block.
struct GdiTableEntry {
  uint64_t object;
  uint32_t owner;
  uint16_t unique;
  uint8_t type;  // 0: free
  uint8_t flags;
  uint64_t user;
};
constexpr size_t kGdiTableEntries = 0x10000;
constexpr size_t kGdiTableOffset = 0xF8;  // GdiSharedHandleTable in a 64-bit process block

long CountGdiObjects(HANDLE process) {
  PROCESS_BASIC_INFORMATION basic{};
  if (::NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof(basic),
                                  nullptr) != 0) {
    return -1;
  }
  uint64_t table = 0;
  SIZE_T moved = 0;
  if (!::ReadProcessMemory(process, reinterpret_cast<const char*>(basic.PebBaseAddress) +
                                        kGdiTableOffset,
                           &table, sizeof(table), &moved) ||
      table == 0) {
    return -1;
  }
  std::vector<GdiTableEntry> entries(kGdiTableEntries);
  if (!::ReadProcessMemory(process, reinterpret_cast<const void*>(table), entries.data(),
                           entries.size() * sizeof(GdiTableEntry), &moved)) {
    return -1;
  }
  long count = 0;
  for (const GdiTableEntry& entry : entries) {
    if (entry.type != 0) ++count;
  }
  return count;
}

HANDLE OpenProcessOf(HWND window) {
  DWORD pid = 0;
  ::GetWindowThreadProcessId(window, &pid);
  return ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::printf("usage: tree_probe items|expand|select TREE [ITEM]\n");
    return 2;
  }
  const std::string command = argv[1];
  HWND tree = reinterpret_cast<HWND>(Parse(argv[2]));
  if (!::IsWindow(tree)) {
    std::printf("error no such window\n");
    return 1;
  }
  if (command == "gdi") {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(tree, &pid);
    HANDLE process = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) {
      std::printf("error cannot open the process\n");
      return 1;
    }
    long fewest = CountGdiObjects(process);
    for (int look = 1; look < 25 && fewest >= 0; ++look) {
      ::Sleep(20);
      long count = CountGdiObjects(process);
      if (count >= 0 && count < fewest) fewest = count;
    }
    std::printf("gdi=%ld\n", fewest);
    ::CloseHandle(process);
    return 0;
  }
  if (command == "tips") {
    TipSearch search{tree, OpenProcessOf(tree)};
    if (!search.process) {
      std::printf("error cannot open the process\n");
      return 1;
    }
    ::EnumWindows(&ListTips, reinterpret_cast<LPARAM>(&search));
    ::CloseHandle(search.process);
    std::printf("end\n");
    return 0;
  }
  if (command == "items") {
    HANDLE process = OpenProcessOf(tree);
    if (!process) {
      std::printf("error cannot open the process\n");
      return 1;
    }
    List(tree, process, Next(tree, TVGN_ROOT, nullptr), 0);
    ::CloseHandle(process);
    std::printf("end\n");
    return 0;
  }
  if (command == "selected") {
    HANDLE process = OpenProcessOf(tree);
    HTREEITEM selected = Next(tree, TVGN_CARET, nullptr);
    if (!process || !selected) {
      std::printf("none\n");
    } else {
      std::printf("0x%llx\t%s\n",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(selected)),
                  ItemText(tree, process, selected).c_str());
    }
    if (process) ::CloseHandle(process);
    return 0;
  }
  if (argc < 4) return 2;
  auto item = static_cast<LPARAM>(Parse(argv[3]));
  if (command == "expand") {
    ::SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, item);
    std::printf("ok\n");
    return 0;
  }
  if (command == "select") {
    std::printf(::SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, item) ? "ok\n" : "error\n");
    return 0;
  }
  return 2;
}
