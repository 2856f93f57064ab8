// Icons, the system menu, painting and the file chooser.
#include "host.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QWidget>
#include <map>

namespace vx::fw {

namespace {

QPixmap Render(const vx::res::IconResource& r, const vx::res::IconImage& image) {
  QImage img(image.size, image.size, QImage::Format_ARGB32);
  for (int y = 0; y < image.size; ++y) {
    const char* row = image.rows[y];
    for (int x = 0; x < image.size; ++x) {
      char c = row[x];
      int index = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      img.setPixel(x, y, index < 0 ? 0u : 0xFF000000u | r.palette[index]);
    }
  }
  return QPixmap::fromImage(img);
}

}  // namespace

IconHandle* IconFrom(HICON icon) { return reinterpret_cast<IconHandle*>(icon); }

HICON WINAPI LoadIconA(HINSTANCE, LPCSTR name) {
  // Icons are shared resources, made once and kept for the life of the program.
  static std::map<int, std::unique_ptr<IconHandle>> loaded;
  int id = static_cast<int>(reinterpret_cast<std::uintptr_t>(name));
  if (auto it = loaded.find(id); it != loaded.end()) return reinterpret_cast<HICON>(it->second.get());
  const auto* module = ResourceModule();
  const auto* r = module ? module->FindIcon(id) : nullptr;
  if (!r || r->images.empty()) return nullptr;
  auto handle = std::make_unique<IconHandle>();
  for (const auto& image : r->images) {
    QPixmap p = Render(*r, image);
    handle->icon.addPixmap(p);
    if (image.size >= 32 && handle->big.isNull()) handle->big = p;
    if (image.size <= 16 && handle->small.isNull()) handle->small = p;
  }
  if (handle->big.isNull()) handle->big = Render(*r, r->images.front());
  if (handle->small.isNull()) handle->small = handle->big.scaled(16, 16);
  HICON result = reinterpret_cast<HICON>(handle.get());
  loaded.emplace(id, std::move(handle));
  return result;
}

HMENU WINAPI GetSystemMenu(HWND hwnd, BOOL) {
  auto* dialog = dynamic_cast<CDialog*>(WndFromHandle(hwnd));
  if (!dialog || !dialog->Host() || !dialog->Host()->systemMenu) return nullptr;
  return reinterpret_cast<HMENU>(dialog->Host()->systemMenu.get());
}

BOOL WINAPI AppendMenuA(HMENU menu, UINT flags, UINT_PTR id, LPCSTR text) {
  auto* m = reinterpret_cast<MenuHandle*>(menu);
  if (!m) return FALSE;
  if (flags & MF_SEPARATOR) {
    m->menu->addSeparator();
    return TRUE;
  }
  CWnd* owner = m->owner;
  // A menu entry chosen becomes WM_SYSCOMMAND with its command id.
  m->menu->addAction(QString::fromLocal8Bit(text ? text : ""), m->menu,
                     [owner, id] { owner->SendMessage(WM_SYSCOMMAND, id, 0); })
      ->setData(QVariant::fromValue<qulonglong>(id));
  return TRUE;
}

BOOL WINAPI IsIconic(HWND hwnd) {
  CWnd* wnd = WndFromHandle(hwnd);
  return wnd && wnd->widget() && wnd->widget()->isMinimized() ? TRUE : FALSE;
}

int WINAPI GetSystemMetrics(int index) {
  switch (index) {
    case SM_CXICON:
    case SM_CYICON:
      return 32;
    default:
      return 0;
  }
}

BOOL WINAPI GetClientRect(HWND hwnd, LPRECT rect) {
  CWnd* wnd = WndFromHandle(hwnd);
  if (!wnd || !wnd->widget() || !rect) return FALSE;
  *rect = RECT{0, 0, wnd->widget()->width(), wnd->widget()->height()};
  return TRUE;
}

BOOL WINAPI DrawIcon(HDC dc, int x, int y, HICON icon) {
  auto* d = reinterpret_cast<DcHandle*>(dc);
  auto* i = IconFrom(icon);
  if (!d || !d->painter || !i) return FALSE;
  d->painter->drawPixmap(x, y, i->big);
  return TRUE;
}

}  // namespace vx::fw

using namespace vx::fw;

CMenu* CMenu::FromHandle(HMENU menu) {
  if (!menu) return nullptr;
  static std::map<HMENU, std::unique_ptr<CMenu>> wrappers;
  auto& w = wrappers[menu];
  if (!w) {
    w = std::make_unique<CMenu>();
    w->m_hMenu = menu;
  }
  return w.get();
}

CMenu* CWnd::GetSystemMenu(BOOL revert) const { return CMenu::FromHandle(vx::fw::GetSystemMenu(m_hWnd, revert)); }

CPaintDC::CPaintDC(CWnd* wnd) {
  // Only made while the window paints (its WM_PAINT comes from its paint event).
  auto* handle = new DcHandle{wnd && wnd->widget() ? new QPainter(wnd->widget()) : nullptr};
  m_hDC = reinterpret_cast<HDC>(handle);
}

CPaintDC::~CPaintDC() {
  auto* handle = reinterpret_cast<DcHandle*>(m_hDC);
  delete handle->painter;
  delete handle;
}

CFileDialog::CFileDialog(BOOL openFileDialog, LPCSTR, LPCSTR fileName, DWORD, LPCSTR filter, CWnd* parent)
    : CDialog(0, parent), m_bOpen(openFileDialog), m_strFileName(fileName), m_strFilter(filter) {}

int CFileDialog::DoModal() {
  if (auto& hook = CurrentFileDialogHook()) {
    CString path = m_strFileName;  // what the chooser's name field would start with
    int result = hook(&path);
    if (result == IDOK) m_strPathName = path;
    return result;
  }
  // "Label|pattern|...": Windows' "*.*" matches every name, dotted or not.
  QStringList filters;
  std::string filterList = m_strFilter.str();
  for (std::size_t at = 0; at < filterList.size();) {
    std::size_t bar = filterList.find('|', at);
    if (bar == std::string::npos) break;
    std::size_t end = filterList.find('|', bar + 1);
    if (end == std::string::npos) end = filterList.size();
    std::string label = filterList.substr(at, bar - at);
    std::string pattern = filterList.substr(bar + 1, end - bar - 1);
    if (label.empty()) break;
    if (pattern == "*.*") pattern = "*";
    filters << LocalText(label) + QStringLiteral(" (") + LocalText(pattern) + QStringLiteral(")");
    at = end + 1;
  }
  QFileDialog chooser(m_pParent ? m_pParent->widget() : nullptr);
  chooser.setFileMode(QFileDialog::AnyFile);  // a name that does not exist is accepted
  chooser.setAcceptMode(m_bOpen ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
  chooser.setOption(QFileDialog::HideNameFilterDetails);
  if (!filters.isEmpty()) chooser.setNameFilters(filters);
  if (!m_strFileName.IsEmpty()) chooser.selectFile(LocalText(m_strFileName.str()));
  for (;;) {
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) return IDCANCEL;
    // A pattern in the name field ("*.*" to begin with) filters the list, as
    // on Windows, instead of naming a file.
    QFileInfo picked(chooser.selectedFiles().front());
    QString name = picked.fileName();
    if (!name.contains(QLatin1Char('*')) && !name.contains(QLatin1Char('?'))) break;
    chooser.setDirectory(picked.path());
    chooser.setNameFilter(name == QStringLiteral("*.*") ? QStringLiteral("*") : name);
    chooser.selectFile(name);
  }
  // Named in the locale's encoding, as the file system spells it.
  QByteArray path = QFile::encodeName(chooser.selectedFiles().front());
  m_strPathName = CString(std::string(path.constData(), static_cast<std::size_t>(path.size())));
  return IDOK;
}
