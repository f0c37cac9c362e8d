// The font of the wizard's texts, chosen by the program rather than by the dialog template, so
// that Chinese shows on every Windows whatever its language and code page.
#pragma once

#include <windows.h>

#include <string>

#include "mfc/scoped_win.h"

// The first face of the chain that the system has with Chinese glyphs (SimSun, the face the
// art was drawn with, then the faces every Windows since Vista carries, then those of Chinese
// and Taiwanese systems and of free desktops), else any face with GB2312 or Big5 glyphs; ""
// when the system has none.
std::wstring ChineseFaceName();

// The size of the wizard's texts and of its boxes'.
constexpr int kTextPoints = 9;

// That face at `points` for `dpi`, regular weight; null when no face has the glyphs.
ScopedFont CreateChineseFont(int points, UINT dpi);
