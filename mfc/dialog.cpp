#include "mfc/dialog.h"

#include "mfc/winapp.h"
#include "platform/text_win32.h"

const CRuntimeClass CDialog::classCDialog = {"CDialog", &CWnd::classCWnd};

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  if (control.m_hWnd) return;
  if (!control.SubclassDlgItem(id, dx->m_pDlgWnd)) dx->m_bFailed = TRUE;
}

void DDX_Text(CDataExchange* dx, int id, std::string& value) {
  HWND control = ::GetDlgItem(dx->m_pDlgWnd->m_hWnd, id);
  if (!control) {
    dx->m_bFailed = TRUE;
    return;
  }
  if (dx->m_bSaveAndValidate) {
    value = WindowTextOf(control);
  } else {
    ::SetWindowTextW(control, platform::Utf8ToWide(value).c_str());
  }
}

INT_PTR CDialog::DoModal() {
  // The owner: the given parent's top-level window, else the main window (not ourselves).
  HWND owner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
  if (!owner) {
    CWnd* main = AfxGetMainWnd();
    if (main && main != this) owner = main->m_hWnd;
  }
  if (owner) owner = ::GetAncestor(owner, GA_ROOT);
  bool reenableOwner = owner && ::IsWindowEnabled(owner);
  if (reenableOwner) ::EnableWindow(owner, FALSE);

  m_modal = true;
  m_endModal = false;
  m_modalResult = -1;
  HWND window =
      ::CreateDialogParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_templateId), owner,
                           &CDialog::StaticDlgProc, reinterpret_cast<LPARAM>(this));
  if (window && m_hWnd) {
    if (!m_endModal && !IsWindowVisible()) ShowWindow(SW_SHOWNORMAL);
    RunModalLoop();
    // Hide before the owner comes back, so that activation goes to the owner, not elsewhere.
    if (m_hWnd) ShowWindow(SW_HIDE);
  }
  if (reenableOwner) ::EnableWindow(owner, TRUE);
  if (owner && m_hWnd && ::GetActiveWindow() == m_hWnd) ::SetActiveWindow(owner);
  DestroyWindow();
  m_modal = false;
  return m_modalResult;
}

void CDialog::RunModalLoop() {
  MSG msg;
  while (!m_endModal) {
    BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == -1) break;
    if (got == 0) {
      // WM_QUIT ends the dialog; the quit goes on to whoever runs the outer loop.
      ::PostQuitMessage(static_cast<int>(msg.wParam));
      m_modalResult = -1;
      break;
    }
    if (!WalkPreTranslateTree(m_hWnd, &msg)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    if (!m_hWnd) break;  // destroyed by a handler
  }
}

bool CDialog::Create(UINT templateId, CWnd* parent) {
  m_templateId = templateId;
  m_pParentWnd = parent;
  HWND parentWindow = parent ? parent->m_hWnd : nullptr;
  if (!parentWindow) {
    CWnd* main = AfxGetMainWnd();
    if (main && main != this) parentWindow = main->m_hWnd;
  }
  m_modal = false;
  HWND window =
      ::CreateDialogParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(templateId), parentWindow,
                           &CDialog::StaticDlgProc, reinterpret_cast<LPARAM>(this));
  return window != nullptr && m_hWnd == window;
}

void CDialog::EndDialog(int result) {
  m_modalResult = result;
  m_endModal = true;
  HWND window = m_hWnd;
  if (!window) return;
  if (m_modal) {
    ::PostMessageW(window, WM_NULL, 0, 0);  // wakes the modal loop
  } else {
    ::ShowWindow(window, SW_HIDE);
  }
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
  CDataExchange dx(this, saveAndValidate);
  DoDataExchange(&dx);
  return !dx.m_bFailed;
}

BOOL CDialog::PreTranslateMessage(MSG* msg) {
  // Keyboard navigation (Tab, Enter, Escape) for top-level dialogs; a child dialog leaves it to
  // the dialog it sits in.
  if (msg->message < WM_KEYFIRST || msg->message > WM_KEYLAST) return FALSE;
  if ((GetStyle() & (WS_CHILD | WS_POPUP)) == WS_CHILD) return FALSE;
  if (msg->hwnd != m_hWnd && !::IsChild(m_hWnd, msg->hwnd)) return FALSE;
  return ::IsDialogMessageW(m_hWnd, msg);
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) return OnInitDialog();
  return CWnd::WindowProc(message, wParam, lParam);
}

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (CWnd::OnCommand(wParam, lParam)) return TRUE;
  // Buttons notify BN_CLICKED (0); Enter and Escape arrive with code 0 too, accelerators with 1.
  if (HIWORD(wParam) > 1) return FALSE;
  switch (LOWORD(wParam)) {
    case IDOK:
      OnOK();
      return TRUE;
    case IDCANCEL:
      OnCancel();
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK CDialog::StaticDlgProc(HWND window, UINT message, WPARAM wParam,
                                        LPARAM lParam) {
  // Only WM_INITDIALOG is answered here. From then on the object's window procedure sits in
  // front of the dialog manager's, which calls this procedure as part of the default handling.
  if (message != WM_INITDIALOG) return FALSE;
  auto* dialog = reinterpret_cast<CDialog*>(lParam);
  if (!dialog->SubclassWindow(window)) return FALSE;
  RECT rectBefore;
  ::GetWindowRect(window, &rectBefore);
  DWORD styleBefore = static_cast<DWORD>(::GetWindowLongW(window, GWL_STYLE));
  LRESULT result = dialog->Dispatch(message, wParam, lParam);
  if (::IsWindow(window) && dialog->m_hWnd == window) {
    dialog->CenterAfterInit(rectBefore, styleBefore);
  }
  return result;
}

void CDialog::CenterAfterInit(const RECT& rectBefore, DWORD styleBefore) {
  // A dialog that asks for no placement of its own is centred once initialised: it must have
  // been hidden before, still be hidden and top-level, must not have moved during
  // OnInitDialog, must have no enabled owner, and its template must not place it.
  if (styleBefore & WS_VISIBLE) return;
  if (GetStyle() & (WS_VISIBLE | WS_CHILD)) return;
  RECT now;
  GetWindowRect(&now);
  if (now.left != rectBefore.left || now.top != rectBefore.top) return;
  HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
  if (owner && ::IsWindowEnabled(owner)) return;
  if (GetStyle() & (DS_ABSALIGN | DS_CENTER | DS_CENTERMOUSE)) return;
  CenterWindow();
}
