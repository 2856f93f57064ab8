// The framework's Qt side: what stands behind a CDialog while it runs, and
// the objects behind HICON, HMENU and HDC values.
#pragma once

#include "controls.h"
#include "framework/afxwin.h"

#include <QDialog>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <map>
#include <string>
#include <vector>

namespace vx::fw {

struct IconHandle {
  QIcon icon;
  QPixmap big;
  QPixmap small;
};
IconHandle* IconFrom(HICON icon);

struct MenuHandle {
  QMenu* menu;
  CWnd* owner;
};

struct DcHandle {
  QPainter* painter;
};

class DialogWidget;

struct DialogHost {
  CDialog* dialog = nullptr;
  DialogWidget* widget = nullptr;
  struct Control {
    QWidget* widget;
    const ControlAdapter* adapter;
  };
  std::map<int, Control> controls;         // by control id (statics share -1)
  std::vector<QWidget*> order;             // template order
  std::vector<CWnd*> attached;             // CWnds bound by DDX_Control, detached at the end
  std::vector<std::unique_ptr<CWnd>> temporaries;  // from GetDlgItem
  std::unique_ptr<MenuHandle> systemMenu;
  int result = 0;
  bool ended = false;
  int baseX = 6;  // dialog base units of the template's font, in pixels
  int baseY = 13;

  QRect ToPixels(short x, short y, short cx, short cy) const;
  void Build(const vx::res::DialogTemplate& t);
  void Teardown();
  // Binds `wnd` to control `id` for this run; false if there is no such control.
  bool Bind(CWnd& wnd, int id);
  void SendCommand(int id, int code);
};

// The CWnd a platform window belongs to, if the framework made it.
CWnd* WndFromHandle(HWND hwnd);
// Creates the platform window through which messages reach `wnd`'s map.
HWND CreateMessageWindow(CWnd* wnd);

// Calls the modal hook, if any, for a dialog whose modal loop has started.
void RunModalHook(CDialog* dialog);
// The windows of the dialogs whose modal loops run, the innermost first.
std::vector<HWND> RunningModalWindows();
// The file dialog hook set by SetFileDialogHook (empty: show the real chooser).
const FileDialogHook& CurrentFileDialogHook();

// Text in the locale's encoding (UTF-8 on Linux, as file names are).
QString LocalText(const std::string& s);
std::string LocalBytes(const QString& s);

}  // namespace vx::fw
