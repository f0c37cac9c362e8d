// Written by tools/make-art.sh: the skin picture's flat colours under the text controls.
#pragma once

#include <windows.h>

// The folder field behind the folder line and the status line.
constexpr COLORREF kArtFieldColour = RGB(242,245,248);
// The footer behind the terms link and the manual-download link.
constexpr COLORREF kArtFooterColour = RGB(247,249,251);
