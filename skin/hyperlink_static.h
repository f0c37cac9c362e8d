// A static text control of a dialog turned into a link: underlined, fitted to its text, with a
// hand cursor and a tooltip showing the target, which opens in the browser when clicked. When
// the shell cannot open it, the program registered for ".htm" files is tried; failing that, the
// user hears a beep and reads why. The text colour is the parent dialog's business. It is a
// tab stop: focused from the keyboard it shows the focus cue, and Enter or Space opens it.
#pragma once

#include <string>

#include "mfc/afxwin.h"

class HyperLinkStatic : public CStatic {
 public:
  HyperLinkStatic() = default;
  ~HyperLinkStatic() override;

  // Sets the target; refits the control to its text and updates the tooltip.
  void SetLink(const std::string& target);
  // Shows the text in `font`, underlined (a copy: the caller keeps `font`), refitted to it.
  void SetTextFont(HFONT font);
  const std::string& Link() const { return url; }

  BOOL PreTranslateMessage(MSG* msg) override;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

  // Opens `target` with the shell, or through the ".htm" association when the shell reports
  // code 32. Returns the shell's (or, for the association, WinExec's) code: above 32 is
  // success.
  static int OpenLink(const char* target, int showCommand);
  // "Unable to open hyperlink:" and the reason for `code`, as the message box shows it.
  static std::string OpenErrorText(int code);
  static void ShowOpenError(int code);

  BOOL IsPointerInside() const { return pointerInside; }
  HFONT LinkFont() const { return linkFont.get(); }
  HCURSOR LinkCursor() const { return linkCursor.get(); }
  const CToolTipCtrl& Tooltip() const { return tooltip; }

 protected:
  // Runs when the object is attached to the dialog's static control.
  void PreSubclassWindow() override;
  // Called with the control's own notifications: a click opens the link.
  BOOL OnReflectedCommand(UINT notifyCode) override;
  // Called when the pointer over the control needs a cursor: the hand, when there is one.
  BOOL OnSetCursor(HWND window, UINT hitTest, UINT message) override;
  // Called when the pointer moves: the mouse is captured while it is over the link, to learn
  // when it leaves.
  void OnMouseMove(UINT flags, POINT point) override;

 private:
  void OnLinkClicked();
  void UnderlineFont(HFONT base);
  void FitToText();
  void LoadHandCursor();

  BOOL pointerInside = FALSE;
  std::string url;
  ScopedFont linkFont;
  ScopedCursor linkCursor;
  CToolTipCtrl tooltip;
};

// The default value of HKEY_LOCAL_MACHINE\Software\Classes\`keyName` in *value: the machine's
// associations, never the user's own (HKEY_CLASSES_ROOT would merge those in). Returns the error of opening the
// key, or of reading its value (a value too long for 260 characters counts as unreadable); 0
// when read.
LONG ReadMachineClassDefault(const std::string& keyName, std::string* value);

// The command line that opens `target` with `registryCommand`: the command cut at its "%1"
// placeholder (the quoted form first, then the plain one), one blank, the target. False, with
// no command, when the line would not fit the 520 bytes kept for it.
bool BuildHtmFallbackCommand(const std::string& registryCommand, const std::string& target,
                             std::string* commandLine);
