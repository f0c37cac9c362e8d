#include "platform/private_folder.h"

#include "platform/files.h"

namespace platform {

bool ProcessIsElevated() { return false; }

std::string DownloadFolder() { return TempFolder(); }

std::string PrivateFolderIn(const std::string& parent) {
  if (parent.empty() || parent.back() == '/') return parent;
  return parent + '/';
}

}  // namespace platform
