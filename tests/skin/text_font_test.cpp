// The wizard's font: a face the system has, with a glyph for every character the wizard shows
// (never a box or a question mark), at the size of its density. Run under several code pages.
#include "skin/text_font.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text_win32.h"
#include "wizard/wizard_texts.h"

namespace {

TEST(TextFont, EveryTextOfTheWizardHasItsGlyphs) {
  const std::wstring face = ChineseFaceName();
  ASSERT_FALSE(face.empty()) << "no face with Chinese glyphs";
  ScopedFont font = CreateChineseFont(kTextPoints, 96);
  ASSERT_TRUE(font.valid());
  ScopedGetDC dc(nullptr);
  ScopedSelectObject select(dc, font.get());
  wchar_t chosen[LF_FACESIZE] = {};
  ::GetTextFaceW(dc, LF_FACESIZE, chosen);
  EXPECT_EQ(chosen, face) << "the system put another face in its place";
  const char* texts[] = {
      WizardText::kTitle,         WizardText::kQuitQuestion,   WizardText::kTipStart,
      WizardText::kTipPause,      WizardText::kTipContinue,    WizardText::kNameBrowse,
      WizardText::kNameAgree,     WizardText::kInstalling,     WizardText::kConfiguring,
      WizardText::kStartingGame,  WizardText::kRedownloading,  WizardText::kNetworkStalled,
      WizardText::kInstallFailed, WizardText::kPackageRefused, "手动下载完整安装包安装路径",
  };
  for (const char* text : texts) {
    const std::wstring wide = platform::Utf8ToWide(text);
    std::vector<WORD> glyphs(wide.size());
    ASSERT_NE(::GetGlyphIndicesW(dc, wide.c_str(), static_cast<int>(wide.size()), glyphs.data(),
                                 GGI_MARK_NONEXISTING_GLYPHS),
              GDI_ERROR);
    for (size_t i = 0; i < wide.size(); ++i) {
      EXPECT_NE(glyphs[i], 0xFFFF) << text << ": no glyph for character " << i;
    }
  }
}

TEST(TextFont, NinePointsAtEveryDensity) {
  for (UINT dpi : {96u, 120u, 144u, 192u}) {
    ScopedFont font = CreateChineseFont(kTextPoints, dpi);
    ASSERT_TRUE(font.valid());
    LOGFONTW described{};
    ASSERT_TRUE(::GetObjectW(font.get(), sizeof described, &described));
    EXPECT_EQ(described.lfHeight, -static_cast<int>(kTextPoints * dpi / 72)) << dpi;
  }
}

}  // namespace
