// CDialog: a dialog from a template, modal with the framework's own message loop (so that
// PreTranslateMessage sees every message, which tooltips rely on) or modeless; data exchange
// between member variables and controls.
#pragma once

#include <atomic>
#include <string>

#include "mfc/wnd.h"

class CDialog;

// One pass of DoDataExchange: towards the members (save) or towards the controls (load).
struct CDataExchange {
  CDataExchange(CDialog* dialog, BOOL saveAndValidate)
      : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}
  CDialog* m_pDlgWnd;
  BOOL m_bSaveAndValidate;
  BOOL m_bFailed = FALSE;  // a control could not be bound
};

// Binds `control` to the dialog's control `id` and subclasses it, once.
void DDX_Control(CDataExchange* dx, int id, CWnd& control);
// Moves the text of control `id` into `value` (save) or `value` into the control (load).
void DDX_Text(CDataExchange* dx, int id, std::string& value);

class CDialog : public CWnd {
 public:
  static const CRuntimeClass classCDialog;
  const CRuntimeClass* GetRuntimeClass() const override { return &classCDialog; }

  explicit CDialog(UINT templateId = 0, CWnd* parent = nullptr)
      : m_templateId(templateId), m_pParentWnd(parent) {}

  // Creates the dialog, disables its owner, runs the modal loop until EndDialog, destroys the
  // window and returns the EndDialog result (-1 when the dialog could not be created).
  virtual INT_PTR DoModal();
  // Creates the dialog modeless; with no parent, the application's main window is the parent.
  bool Create(UINT templateId, CWnd* parent = nullptr);
  bool Create() { return Create(m_templateId, m_pParentWnd); }

  // Ends the modal loop with `result`; may be called from any thread. A modeless dialog is
  // hidden (its owner destroys it).
  void EndDialog(int result);
  // Runs DoDataExchange; FALSE when a control could not be bound.
  BOOL UpdateData(BOOL saveAndValidate = TRUE);

  BOOL PreTranslateMessage(MSG* msg) override;

 protected:
  // Binds the controls (UpdateData(FALSE)); returns TRUE to let the system set the focus.
  virtual BOOL OnInitDialog();
  // IDOK: takes the data from the controls and ends with IDOK.
  virtual void OnOK();
  // IDCANCEL (also Escape and WM_CLOSE): ends with IDCANCEL.
  virtual void OnCancel();
  virtual void DoDataExchange(CDataExchange* /*dx*/) {}

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  // Routes IDOK and IDCANCEL to OnOK and OnCancel after reflection.
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;

  UINT m_templateId;
  CWnd* m_pParentWnd;

 private:
  static INT_PTR CALLBACK StaticDlgProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void RunModalLoop();
  void CenterAfterInit(const RECT& rectBefore, DWORD styleBefore);

  std::atomic<bool> m_endModal{false};
  std::atomic<int> m_modalResult{-1};
  bool m_modal = false;
};
