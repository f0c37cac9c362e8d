// What the status line says of a download that ended on a local cause the user can mend: a
// full disk (with the sizes) or a file taken away by security software. UTF-8; empty
// for any other failure, which keeps its own message.
#pragma once

#include <cstdio>
#include <string>

#include "download/download_error.h"
#include "wizard/wizard_texts.h"

inline std::string LocalFailureText(const DownloadError& error) {
  if (error.kind == DownloadErrorKind::Quarantined) return WizardText::kBlockedBySecurity;
  if (error.kind != DownloadErrorKind::DiskFull) return std::string();
  std::string text = WizardText::kDiskFull;
  if (error.bytesNeeded == 0) return text;
  constexpr double kMegabyte = 1024.0 * 1024.0;
  char sizes[96];
  std::snprintf(sizes, sizeof sizes, WizardText::kDiskSizesFormat,
                static_cast<double>(error.bytesNeeded) / kMegabyte,
                static_cast<double>(error.bytesAvailable) / kMegabyte);
  return text + sizes;
}
