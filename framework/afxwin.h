// The dialog framework the console is written against: an MFC-shaped layer
// over Qt 6 Widgets, offering only what the console uses. Text is 8-bit: in
// the controls, the locale's encoding (UTF-8, as Linux names files); in the
// received-data box, every byte kept as it came and shown as Windows-1252.
#pragma once

#include "framework/resources.h"
#include "platform/win32.h"

#include <bit>
#include <functional>
#include <memory>
#include <string>

class QWidget;

#define ID_HELP 0xE146

// ---- Window services (USER32's) ------------------------------------------
// The framework's own, over its Qt widgets, kept in its namespace: a build
// against <windows.h> gets the system's under the same names, and these never
// collide with them. Elsewhere the Win32 spelling names the framework's.
namespace vx::fw {
HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name);
HMENU WINAPI GetSystemMenu(HWND hwnd, BOOL revert);
BOOL WINAPI AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR text);
BOOL WINAPI IsIconic(HWND hwnd);
int WINAPI GetSystemMetrics(int index);
BOOL WINAPI GetClientRect(HWND hwnd, LPRECT rect);
BOOL WINAPI DrawIcon(HDC dc, int x, int y, HICON icon);
}  // namespace vx::fw

#ifndef _WIN32
using vx::fw::AppendMenuA;
using vx::fw::DrawIcon;
using vx::fw::GetClientRect;
using vx::fw::GetSystemMenu;
using vx::fw::GetSystemMetrics;
using vx::fw::IsIconic;
using vx::fw::LoadIconA;
#endif

// ---- CString --------------------------------------------------------------
class CString {
 public:
  CString() = default;
  CString(const char* s) : s_(s ? s : "") {}
  CString(const char* s, int length) : s_(s, static_cast<std::size_t>(length)) {}
  CString(const std::string& s) : s_(s) {}

  int GetLength() const { return static_cast<int>(s_.size()); }
  bool IsEmpty() const { return s_.empty(); }
  void Empty() { s_.clear(); }
  operator LPCSTR() const { return s_.c_str(); }
  const std::string& str() const { return s_; }
  CString& operator+=(const CString& other) {
    s_ += other.s_;
    return *this;
  }
  CString& operator+=(char c) {
    s_ += c;
    return *this;
  }
  bool operator==(const CString& other) const { return s_ == other.s_; }
  bool operator==(const char* other) const { return s_ == (other ? other : ""); }
  BOOL LoadString(UINT id);

 private:
  std::string s_;
};

// ---- Message maps -----------------------------------------------------------
class CCmdTarget;
typedef void (CCmdTarget::*AFX_PMSG)();

enum AfxSig {
  AfxSig_end = 0,
  AfxSig_vv,    // void ()
  AfxSig_vw,    // void (UINT)
  AfxSig_vwl,   // void (UINT, LPARAM)
  AfxSig_lwl,   // LRESULT (WPARAM, LPARAM)
  AfxSig_hv,    // HCURSOR ()
};

struct AFX_MSGMAP_ENTRY {
  UINT nMessage;
  UINT nCode;
  UINT nID;
  UINT nLastID;
  UINT_PTR nSig;
  AFX_PMSG pfn;
};

struct AFX_MSGMAP {
  const AFX_MSGMAP* (*pfnGetBaseMap)();
  const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                   \
 protected:                                     \
  static const AFX_MSGMAP* GetThisMessageMap(); \
  const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                          \
  const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); }    \
  const AFX_MSGMAP* theClass::GetThisMessageMap() {                                     \
    using ThisClass [[maybe_unused]] = theClass;                                        \
    typedef baseClass TheBaseClass;                                                     \
    static const AFX_MSGMAP_ENTRY _messageEntries[] = {
#define END_MESSAGE_MAP()                                                               \
  {0, 0, 0, 0, AfxSig_end, (AFX_PMSG)0}                                                 \
  }                                                                                     \
  ;                                                                                     \
  static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]}; \
  return &messageMap;                                                                   \
  }

// Handlers are stored as one member-pointer type and converted back to their
// own signature (their AfxSig) when called; bit_cast keeps the round trip exact.
#define VX_PMSG(type, fn) std::bit_cast<AFX_PMSG>(static_cast<type>(fn))

#define ON_COMMAND(id, fn) {WM_COMMAND, 0, (UINT)(id), (UINT)(id), AfxSig_vv, VX_PMSG(void (CCmdTarget::*)(), &fn)},
#define ON_BN_CLICKED(id, fn) {WM_COMMAND, BN_CLICKED, (UINT)(id), (UINT)(id), AfxSig_vv, VX_PMSG(void (CCmdTarget::*)(), &ThisClass::fn)},
#define ON_CBN_EDITCHANGE(id, fn) {WM_COMMAND, CBN_EDITCHANGE, (UINT)(id), (UINT)(id), AfxSig_vv, VX_PMSG(void (CCmdTarget::*)(), &ThisClass::fn)},
#define ON_MESSAGE(msg, fn) {(UINT)(msg), 0, 0, 0, AfxSig_lwl, VX_PMSG(LRESULT (CCmdTarget::*)(WPARAM, LPARAM), &ThisClass::fn)},
#define ON_WM_TIMER() {WM_TIMER, 0, 0, 0, AfxSig_vw, VX_PMSG(void (CCmdTarget::*)(UINT), &ThisClass::OnTimer)},
#define ON_WM_SYSCOMMAND() {WM_SYSCOMMAND, 0, 0, 0, AfxSig_vwl, VX_PMSG(void (CCmdTarget::*)(UINT, LPARAM), &ThisClass::OnSysCommand)},
#define ON_WM_PAINT() {WM_PAINT, 0, 0, 0, AfxSig_vv, VX_PMSG(void (CCmdTarget::*)(), &ThisClass::OnPaint)},
#define ON_WM_QUERYDRAGICON() {WM_QUERYDRAGICON, 0, 0, 0, AfxSig_hv, VX_PMSG(HCURSOR (CCmdTarget::*)(), &ThisClass::OnQueryDragIcon)},
#define ON_WM_CANCELMODE() {WM_CANCELMODE, 0, 0, 0, AfxSig_vv, VX_PMSG(void (CCmdTarget::*)(), &ThisClass::OnCancelMode)},

class CCmdTarget {
 public:
  virtual ~CCmdTarget() = default;

 protected:
  static const AFX_MSGMAP* GetThisMessageMap();
  virtual const AFX_MSGMAP* GetMessageMap() const;
  // Finds the handler for a message in this class's map and its bases'.
  const AFX_MSGMAP_ENTRY* FindEntry(UINT message, UINT code, UINT id) const;
  friend class CWnd;
};

// ---- Windows and controls -----------------------------------------------
class CDataExchange;
class CWnd;
namespace vx::fw {
struct DialogHost;
class ControlAdapter;
}

class CWnd : public CCmdTarget {
 public:
  CWnd() = default;
  ~CWnd() override;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  HWND m_hWnd = nullptr;

  void SetWindowText(LPCSTR text);
  void GetWindowText(CString& text) const;
  CWnd* GetDlgItem(int id) const;
  BOOL UpdateData(BOOL saveAndValidate = TRUE);
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  UINT_PTR SetTimer(UINT_PTR id, UINT elapse, TIMERPROC proc) { return ::SetTimer(m_hWnd, id, elapse, proc); }
  BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
  BOOL IsIconic() const { return vx::fw::IsIconic(m_hWnd); }
  void GetClientRect(LPRECT rect) const { vx::fw::GetClientRect(m_hWnd, rect); }
  HICON SetIcon(HICON icon, BOOL big);
  class CMenu* GetSystemMenu(BOOL revert) const;

  // The Qt widget behind this window or control (framework and tests only).
  QWidget* widget() const { return m_pWidget; }

  // Routes a message to this window's map; unhandled ones get the default handling.
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);

 protected:
  virtual void DoDataExchange(CDataExchange*) {}
  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
  virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // Default handling of the message being handled.
  LRESULT Default();
  void OnPaint() { Default(); }
  void OnCancelMode() { Default(); }
  void OnSysCommand(UINT id, LPARAM lParam) { Default(); }
  void OnTimer(UINT) { Default(); }

  const MSG* m_pCurrentMsg = nullptr;
  CWnd* m_pParent = nullptr;
  QWidget* m_pWidget = nullptr;
  const vx::fw::ControlAdapter* m_pAdapter = nullptr;  // how m_pWidget is read and written
  bool m_bOwnsHwnd = false;
  friend class CDialog;
  friend class CDataExchange;
  friend void DDX_Control(CDataExchange*, int, CWnd&);
  friend struct vx::fw::DialogHost;
};

class CEdit : public CWnd {
 public:
  // Selects characters [start, end); -1 as end means "to the end".
  void SetSel(int start, int end, BOOL noScroll = FALSE);
  // Replaces the selection with `text`. With the selection at the end, this
  // appends at a cost that does not grow with what the box holds.
  void ReplaceSel(LPCSTR text, BOOL canUndo = FALSE);
};

class CMenu {
 public:
  HMENU m_hMenu = nullptr;
  static CMenu* FromHandle(HMENU menu);
  BOOL AppendMenu(UINT flags, UINT_PTR id = 0, LPCSTR text = nullptr) { return vx::fw::AppendMenuA(m_hMenu, flags, id, text); }
};

class CDC {
 public:
  HDC m_hDC = nullptr;
  operator HDC() const { return m_hDC; }
  HDC GetSafeHdc() const { return m_hDC; }
  BOOL DrawIcon(int x, int y, HICON icon) { return vx::fw::DrawIcon(m_hDC, x, y, icon); }
};

// Paints the window while it is being painted (only inside WM_PAINT).
class CPaintDC : public CDC {
 public:
  explicit CPaintDC(CWnd* wnd);
  ~CPaintDC();
};

struct CRect : RECT {
  CRect() : RECT{0, 0, 0, 0} {}
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  operator LPRECT() { return this; }
};

// ---- Dialogs --------------------------------------------------------------
class CDialog : public CWnd {
 public:
  explicit CDialog(UINT templateId, CWnd* parent = nullptr);
  ~CDialog() override;
  virtual int DoModal();
  void EndDialog(int result);
  virtual BOOL OnInitDialog();
  // What stands behind the dialog while it runs (framework internal).
  vx::fw::DialogHost* Host() const { return m_host.get(); }
  // Whether EndDialog has been called in the current modal run (or none runs).
  bool HasEnded() const;

 protected:
  virtual void OnOK();
  virtual void OnCancel();
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

  UINT m_nIDTemplate;
  std::unique_ptr<vx::fw::DialogHost> m_host;
  friend struct vx::fw::DialogHost;
};

class CFileDialog : public CDialog {
 public:
  CFileDialog(BOOL openFileDialog, LPCSTR defaultExt = nullptr, LPCSTR fileName = nullptr, DWORD flags = 0,
              LPCSTR filter = nullptr, CWnd* parent = nullptr);
  int DoModal() override;
  CString GetPathName() const { return m_strPathName; }

 private:
  BOOL m_bOpen;
  CString m_strFileName;
  CString m_strFilter;
  CString m_strPathName;
};

// ---- Dialog data exchange -------------------------------------------------
class CDataExchange {
 public:
  CDataExchange(CWnd* dlg, BOOL saveAndValidate) : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dlg) {}
  BOOL m_bSaveAndValidate;
  CWnd* m_pDlgWnd;
  // Marks the field being exchanged, so a failure can put the focus on it.
  void PrepareCtrl(int id) { m_idLastControl = id; }
  // Reports a failed exchange: the focus goes to the control, the exchanges
  // after it do nothing, and UpdateData returns FALSE.
  void Fail();
  bool Failed() const { return m_bFailed; }
  int m_idLastControl = 0;

 private:
  bool m_bFailed = false;
};

void DDX_Control(CDataExchange* dx, int id, CWnd& control);
void DDX_Text(CDataExchange* dx, int id, CString& value);
void DDX_Text(CDataExchange* dx, int id, UINT& value);
void DDX_CBString(CDataExchange* dx, int id, CString& value);
void DDX_Check(CDataExchange* dx, int id, int& value);
void DDV_MinMaxUInt(CDataExchange* dx, UINT value, UINT minimum, UINT maximum);

// ---- The application --------------------------------------------------------
class CWinApp : public CCmdTarget {
 public:
  explicit CWinApp(LPCSTR appName = nullptr);
  ~CWinApp() override;
  virtual BOOL InitInstance() { return TRUE; }
  virtual int Run() { return 0; }
  virtual int ExitInstance() { return 0; }
  void OnHelp() {}
  BOOL Enable3dControls() { return TRUE; }  // Linux draws its own controls
  CWnd* m_pMainWnd = nullptr;
};

CWinApp* AfxGetApp();
void AfxEnableControlContainer();
// Runs the application: the framework's entry, called from main().
int AfxWinMain(int argc, char** argv);

namespace vx::fw {

// The resources dialogs, strings and icons are loaded from.
void SetResourceModule(const vx::res::Module* module);
const vx::res::Module* ResourceModule();

// The framework's message boxes (validation failures) go through this
// function, which tests may replace; by default a real modal box is shown.
using MessageBoxHook = std::function<int(const char* text, UINT type)>;
void SetMessageBoxHook(MessageBoxHook hook);
int AfxMessageBox(const char* text, UINT type = 0);

// Called with each modal dialog as it starts its modal loop (after
// OnInitDialog), and with each file chooser instead of showing it: what tests
// and the headless runner use to drive the dialogs. The file hook finds the
// chooser's initial name in *path and returns IDOK with a path, or IDCANCEL.
using ModalHook = std::function<void(CDialog* dialog)>;
void SetModalHook(ModalHook hook);
using FileDialogHook = std::function<int(CString* path)>;
void SetFileDialogHook(FileDialogHook hook);

// Where port lists look for the serial devices present: /dev, or a directory
// of a test's own.
void SetSerialDeviceRoot(const std::string& root);
const std::string& SerialDeviceRoot();

// Makes sure a QApplication exists, with the calling (user-interface)
// thread's message queue plugged into its event loop (tests and tools that
// drive dialogs directly).
void EnsureApplication(int argc = 0, char** argv = nullptr);
// Handles Qt and platform events for up to `ms` milliseconds (tests).
void PumpEvents(int ms);

}  // namespace vx::fw
