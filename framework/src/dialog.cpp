// CDialog: a modal dialog made from a template, its controls placed in dialog
// units of the template's font, its widget events turned into the messages its
// map routes.
#include "host.h"
#include "read_only_line.h"
#include "framework/receive_box.h"
#include "platform/hooks.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QAbstractItemView>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <cmath>

namespace vx::fw {

class DialogWidget : public QDialog {
 public:
  DialogWidget(DialogHost* host, QWidget* parent) : QDialog(parent), host_(host) {}

 protected:
  // Escape: the dialog's map decides, as IDCANCEL.
  void reject() override {
    if (host_->ended) return QDialog::reject();
    host_->SendCommand(IDCANCEL, BN_CLICKED);
  }
  // The close box: a system command, whose default handling becomes IDCANCEL.
  void closeEvent(QCloseEvent* event) override {
    if (host_->ended) return QDialog::closeEvent(event);
    event->ignore();
    host_->dialog->SendMessage(WM_SYSCOMMAND, SC_CLOSE, 0);
  }
  void paintEvent(QPaintEvent* event) override {
    QDialog::paintEvent(event);
    host_->dialog->SendMessage(WM_PAINT, 0, 0);
  }
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() == Qt::Key_Space && (event->modifiers() & Qt::AltModifier)) {
      ShowSystemMenu(mapToGlobal(QPoint(0, 0)));
      return;
    }
    QDialog::keyPressEvent(event);
  }
  void contextMenuEvent(QContextMenuEvent* event) override { ShowSystemMenu(event->globalPos()); }

 private:
  void ShowSystemMenu(const QPoint& where) {
    if (host_->systemMenu) host_->systemMenu->menu->popup(where);
  }
  DialogHost* host_;
};

// The dropped list is as wide as its longest entry, even where that is wider
// than the field: a device path reads whole.
void FitListToEntries(QComboBox* combo) {
  QFontMetrics metrics(combo->font());
  int widest = 0;
  for (int i = 0; i < combo->count(); ++i) widest = std::max(widest, metrics.horizontalAdvance(combo->itemText(i)));
  const int margins = 2 * combo->view()->frameWidth() + combo->style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                      2 * metrics.averageCharWidth();
  combo->view()->setMinimumWidth(widest + margins);
}

QRect DialogHost::ToPixels(short x, short y, short cx, short cy) const {
  auto px = [](int v, int base, int div) { return static_cast<int>(std::lround(double(v) * base / div)); };
  return QRect(px(x, baseX, 4), px(y, baseY, 8), px(cx, baseX, 4), px(cy, baseY, 8));
}

void DialogHost::SendCommand(int id, int code) {
  dialog->SendMessage(WM_COMMAND, MAKEWPARAM(id, code), 0);
}

void DialogHost::Build(const vx::res::DialogTemplate& t) {
  using vx::res::ControlKind;
  QFont font(QString::fromLocal8Bit(t.fontName), t.pointSize);
  widget->setFont(font);
  // Dialog base units, as Windows derives them from the dialog font: the
  // average width of the alphabet, and the font's height.
  QFontMetrics metrics(font);
  baseX = static_cast<int>(std::lround(metrics.horizontalAdvance(
                                          QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
                                      52.0));
  baseY = metrics.height();
  QRect frame = ToPixels(t.x, t.y, t.cx, t.cy);
  widget->setFixedSize(frame.size());
  widget->setWindowTitle(QString::fromLocal8Bit(t.caption));
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
  if (t.style & WS_SYSMENU) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  if (t.style & WS_MINIMIZEBOX) flags |= Qt::WindowMinimizeButtonHint;
  widget->setWindowFlags(flags);

  QWidget* previousTabStop = nullptr;
  for (const auto& c : t.controls) {
    QWidget* w = nullptr;
    ControlClass made = ControlClass::Label;
    const QString text = QString::fromLocal8Bit(c.text);
    switch (c.kind) {
      case ControlKind::Button:
        if ((c.style & 0xF) == BS_AUTOCHECKBOX) {
          auto* box = new QCheckBox(text, widget);
          QObject::connect(box, &QCheckBox::clicked, widget, [this, id = c.id] { SendCommand(id, BN_CLICKED); });
          w = box;
          made = ControlClass::Button;
        } else {
          auto* button = new QPushButton(text, widget);
          button->setDefault((c.style & 0xF) == BS_DEFPUSHBUTTON);
          QObject::connect(button, &QPushButton::clicked, widget, [this, id = c.id] { SendCommand(id, BN_CLICKED); });
          w = button;
          made = ControlClass::Button;
        }
        break;
      case ControlKind::Edit:
        if (c.style & ES_MULTILINE) {
          w = new ReceiveBox(widget);
          made = ControlClass::ReceivedData;
        } else {
          // A box only the program writes to takes its text at any rate and
          // shows it at the display's.
          QLineEdit* edit = nullptr;
          if (c.style & ES_READONLY) {
            auto* line = new ReadOnlyLine(widget);
            line->Hold(c.text);
            edit = line;
            made = ControlClass::StatusLine;
          } else {
            edit = new QLineEdit(text, widget);
            made = ControlClass::LineEdit;
          }
          edit->setFrame(c.style & WS_BORDER);
          w = edit;
        }
        break;
      case ControlKind::ComboBox: {
        auto* combo = new QComboBox(widget);
        combo->setEditable(true);
        combo->setInsertPolicy(QComboBox::NoInsert);
        for (const char* item : c.initData) combo->addItem(QString::fromLocal8Bit(item));
        if (c.appendSerialDevices)
          for (const std::string& path : vx::SerialDevicesPresent(SerialDeviceRoot())) combo->addItem(LocalText(path));
        FitListToEntries(combo);
        // The field keeps the template's width; a name longer than it reads whole on hover.
        QObject::connect(combo, &QComboBox::currentTextChanged, combo, [combo](const QString& t) { combo->setToolTip(t); });
        combo->setEditText(text);
        // Typing in the field is CBN_EDITCHANGE; choosing from the list is
        // CBN_SELCHANGE; text set by the program is neither.
        QObject::connect(combo->lineEdit(), &QLineEdit::textEdited, widget,
                         [this, id = c.id] { SendCommand(id, CBN_EDITCHANGE); });
        QObject::connect(combo, qOverload<int>(&QComboBox::activated), widget,
                         [this, id = c.id] { SendCommand(id, CBN_SELCHANGE); });
        w = combo;
        made = ControlClass::ComboBox;
        break;
      }
      case ControlKind::Static: {
        auto* label = new QLabel(widget);
        if ((c.style & 0xF) == SS_ICON) {
          int iconId = c.text[0] == '#' ? std::atoi(c.text + 1) : 0;
          if (auto* icon = IconFrom(LoadIconA(nullptr, MAKEINTRESOURCEA(iconId)))) label->setPixmap(icon->big);
        } else {
          label->setText(text);
          label->setTextFormat(Qt::PlainText);
        }
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        w = label;
        break;
      }
    }
    QRect r = ToPixels(c.x, c.y, c.cx, c.cy);
    if (c.kind == ControlKind::ComboBox) r.setHeight(ToPixels(0, 0, 0, 12).height());  // cy is the dropped list's height
    w->setGeometry(r);
    w->setProperty("vxId", c.id);
    w->setObjectName(QStringLiteral("control%1").arg(c.id));
    if (c.kind == ControlKind::Static) {
      w->setFocusPolicy(Qt::NoFocus);
    } else if (c.style & WS_TABSTOP) {
      w->setFocusPolicy(Qt::StrongFocus);
      if (previousTabStop) QWidget::setTabOrder(previousTabStop, w);
      previousTabStop = w;
    } else {
      w->setFocusPolicy(Qt::ClickFocus);
    }
    controls.emplace(c.id, Control{w, &AdapterOf(made)});
    order.push_back(w);
  }

  // The system menu, which the dialog opens itself (Alt+Space, right-click):
  // the window manager's cannot be added to.
  // Minimize is offered only by a window that has a minimize box.
  auto* menu = new QMenu(widget);
  if (t.style & WS_MINIMIZEBOX)
    menu->addAction(QStringLiteral("Mi&nimize"), widget, [this] { dialog->SendMessage(WM_SYSCOMMAND, SC_MINIMIZE, 0); });
  menu->addAction(QStringLiteral("&Close\tAlt+F4"), widget, [this] { dialog->SendMessage(WM_SYSCOMMAND, SC_CLOSE, 0); });
  systemMenu = std::make_unique<MenuHandle>(MenuHandle{menu, dialog});
}

void DialogHost::Teardown() {
  for (CWnd* w : attached) {
    w->m_pWidget = nullptr;
    w->m_pAdapter = nullptr;
    w->m_pParent = nullptr;
  }
  attached.clear();
  temporaries.clear();
  controls.clear();
  order.clear();
}

bool DialogHost::Bind(CWnd& wnd, int id) {
  auto it = controls.find(id);
  if (it == controls.end()) return false;
  wnd.m_pWidget = it->second.widget;
  wnd.m_pAdapter = it->second.adapter;
  wnd.m_pParent = dialog;
  return true;
}

namespace {
// Dialogs whose modal loops run, the outermost first.
std::vector<CDialog*> runningModals;
}  // namespace

std::vector<HWND> RunningModalWindows() {
  std::vector<HWND> windows;
  for (auto d = runningModals.rbegin(); d != runningModals.rend(); ++d) windows.push_back((*d)->m_hWnd);
  return windows;
}

}  // namespace vx::fw

using namespace vx::fw;

CDialog::CDialog(UINT templateId, CWnd* parent) : m_nIDTemplate(templateId) { m_pParent = parent; }

CDialog::~CDialog() = default;

bool CDialog::HasEnded() const { return !m_host || m_host->ended; }

int CDialog::DoModal() {
  EnsureApplication();
  const auto* module = ResourceModule();
  const auto* t = module ? module->FindDialog(static_cast<int>(m_nIDTemplate)) : nullptr;
  if (!t) return -1;

  m_host = std::make_unique<DialogHost>();
  m_host->dialog = this;
  m_host->widget = new DialogWidget(m_host.get(), m_pParent ? m_pParent->m_pWidget : nullptr);
  m_pWidget = m_host->widget;
  m_pAdapter = &AdapterOf(ControlClass::Window);
  m_hWnd = CreateMessageWindow(this);
  m_host->Build(*t);

  if (OnInitDialog()) {
    // The focus goes to the first control that takes it.
    for (QWidget* w : m_host->order)
      if (w->focusPolicy() & Qt::TabFocus) {
        w->setFocus();
        break;
      }
  }
  int result = IDCANCEL;
  if (!m_host->ended) {
    m_host->widget->setModal(true);
    QTimer::singleShot(0, m_host->widget, [this] { RunModalHook(this); });
    runningModals.push_back(this);
    m_host->widget->exec();
    std::erase(runningModals, this);
    result = m_host->result;
  } else {
    result = m_host->result;
  }

  // Messages still queued for the window (a link's last received blocks) are
  // handled rather than dropped with it: some carry memory that only their
  // handler frees. Its timers are done with.
  MSG msg;
  while (PeekMessageA(&msg, m_hWnd, 0, 0, PM_REMOVE))
    if (msg.message != WM_TIMER) DispatchMessageA(&msg);
  m_host->Teardown();
  DestroyWindow(m_hWnd);
  m_hWnd = nullptr;
  delete m_host->widget;
  m_pWidget = nullptr;
  m_pAdapter = nullptr;
  m_host.reset();
  return result;
}

void CDialog::EndDialog(int result) {
  if (!m_host) return;
  m_host->result = result;
  m_host->ended = true;
  m_host->widget->done(result);
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  if (UpdateData(TRUE)) EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (CWnd::OnCommand(wParam, lParam)) return TRUE;
  // Unmapped OK and Cancel have their framework handlers.
  if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDOK) {
    OnOK();
    return TRUE;
  }
  if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDCANCEL) {
    OnCancel();
    return TRUE;
  }
  return FALSE;
}

LRESULT CDialog::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE) return SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  return CWnd::DefWindowProc(message, wParam, lParam);
}
