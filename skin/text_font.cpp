#include "skin/text_font.h"

namespace {

// In order of preference. Names in English: the system matches them on every language.
const wchar_t* const kFaceChain[] = {
    L"SimSun",              L"Microsoft YaHei", L"NSimSun",  L"SimHei",
    L"Microsoft JhengHei",  L"PMingLiU",        L"MingLiU",  L"AR PL SungtiL GB",
    L"WenQuanYi Micro Hei", L"Noto Sans CJK SC",
};

struct FaceSearch {
  std::wstring found;
};

int CALLBACK NoteFace(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM data) {
  auto* search = reinterpret_cast<FaceSearch*>(data);
  // "@" faces are the vertical forms of the same face: never for horizontal text.
  if (font->lfFaceName[0] == L'@') return 1;
  search->found = font->lfFaceName;
  return 0;  // the first is enough
}

// The face of that name with glyphs of `charset`, or any such face for an empty name.
std::wstring FindFace(HDC dc, const wchar_t* name, BYTE charset) {
  LOGFONTW wanted{};
  wanted.lfCharSet = charset;
  lstrcpynW(wanted.lfFaceName, name, LF_FACESIZE);
  FaceSearch search;
  ::EnumFontFamiliesExW(dc, &wanted, &NoteFace, reinterpret_cast<LPARAM>(&search), 0);
  return search.found;
}

}  // namespace

std::wstring ChineseFaceName() {
  ScopedGetDC dc(nullptr);
  for (const wchar_t* name : kFaceChain) {
    if (!FindFace(dc, name, GB2312_CHARSET).empty()) return name;
  }
  for (BYTE charset : {GB2312_CHARSET, CHINESEBIG5_CHARSET}) {
    const std::wstring any = FindFace(dc, L"", charset);
    if (!any.empty()) return any;
  }
  return std::wstring();
}

ScopedFont CreateChineseFont(int points, UINT dpi) {
  static const std::wstring face = ChineseFaceName();
  if (face.empty()) return ScopedFont();
  LOGFONTW font{};
  font.lfHeight = -::MulDiv(points, static_cast<int>(dpi), 72);
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  font.lfQuality = DEFAULT_QUALITY;
  lstrcpynW(font.lfFaceName, face.c_str(), LF_FACESIZE);
  return ScopedFont(::CreateFontIndirectW(&font));
}
