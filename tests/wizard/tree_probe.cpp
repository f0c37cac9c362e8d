// tree_probe.exe: reads and drives a tree view of another process (the folder dialog's), which
// probe.exe cannot: an item's text must be fetched through memory inside the tree's process.
//
//   tree_probe.exe items TREE        every item in display order: HANDLE<TAB>depth<TAB>text
//   tree_probe.exe expand TREE ITEM  expands ITEM (its children are filled in on first expansion)
//   tree_probe.exe select TREE ITEM  makes ITEM the selection, as a click would
//
// Handles are hexadecimal. Texts are in the system code page.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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
  constexpr size_t kTextBytes = 260;
  RemoteBlock block(process, sizeof(TVITEMA) + kTextBytes);
  if (!block.get()) return "?";
  TVITEMA request{};
  request.mask = TVIF_TEXT | TVIF_HANDLE;
  request.hItem = item;
  request.pszText = block.get() + sizeof(TVITEMA);
  request.cchTextMax = kTextBytes;
  SIZE_T moved = 0;
  if (!::WriteProcessMemory(process, block.get(), &request, sizeof(request), &moved)) return "?";
  if (!::SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(block.get()))) return "?";
  char text[kTextBytes] = {};
  ::ReadProcessMemory(process, block.get() + sizeof(TVITEMA), text, kTextBytes - 1, &moved);
  return text;
}

HTREEITEM Next(HWND tree, UINT relation, HTREEITEM item) {
  return reinterpret_cast<HTREEITEM>(
      ::SendMessageA(tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
}

void List(HWND tree, HANDLE process, HTREEITEM item, int depth) {
  for (; item; item = Next(tree, TVGN_NEXT, item)) {
    std::printf("0x%llx\t%d\t%s\n",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(item)), depth,
                ItemText(tree, process, item).c_str());
    List(tree, process, Next(tree, TVGN_CHILD, item), depth + 1);
  }
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
  if (command == "items") {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(tree, &pid);
    HANDLE process = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE,
                                   FALSE, pid);
    if (!process) {
      std::printf("error cannot open the process\n");
      return 1;
    }
    List(tree, process, Next(tree, TVGN_ROOT, nullptr), 0);
    ::CloseHandle(process);
    std::printf("end\n");
    return 0;
  }
  if (argc < 4) return 2;
  auto item = static_cast<LPARAM>(Parse(argv[3]));
  if (command == "expand") {
    ::SendMessageA(tree, TVM_EXPAND, TVE_EXPAND, item);
    std::printf("ok\n");
    return 0;
  }
  if (command == "select") {
    std::printf(::SendMessageA(tree, TVM_SELECTITEM, TVGN_CARET, item) ? "ok\n" : "error\n");
    return 0;
  }
  return 2;
}
