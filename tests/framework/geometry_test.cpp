// Dialog units: a template's controls are placed and sized in units of the
// dialog font, a quarter of its average character width across and an eighth
// of its height down, so the same template grows with its font.
#include "test_dialog.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QWidget>
#include <cmath>
#include <gtest/gtest.h>
#include <map>

namespace {

using namespace vx::fwtest;

struct Placed {
  QFont font;
  QSize dialog;
  std::map<int, QRect> controls;
};

Placed PlacementOf(int templateId) {
  CDialog dlg(static_cast<UINT>(templateId));
  Placed placed;
  RunModal(dlg, [&] {
    placed.font = dlg.widget()->font();
    placed.dialog = dlg.widget()->size();
    for (int id : std::initializer_list<int>{IDC_NAME, IDC_COUNT, IDC_LIMIT, IDC_ENABLED, IDC_PORT, IDC_LOG, IDC_STATE, IDOK})
      placed.controls[id] = dlg.GetDlgItem(id)->widget()->geometry();
  });
  return placed;
}

// The dialog base units of a font, as Windows defines them.
struct BaseUnits {
  double x, y;
};
BaseUnits UnitsOf(const QFont& font) {
  QFontMetrics metrics(font);
  double average =
      metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 52.0;
  return {std::round(average), double(metrics.height())};
}

QRect InPixels(const BaseUnits& u, int x, int y, int cx, int cy) {
  auto px = [](int v, double base, int div) { return int(std::lround(v * base / div)); };
  return QRect(px(x, u.x, 4), px(y, u.y, 8), px(cx, u.x, 4), px(cy, u.y, 8));
}

TEST(DialogUnits, ControlsSitWhereTheTemplateSaysInTheTemplatesFont) {
  Placed p = PlacementOf(IDD_FIELDS);
  EXPECT_EQ(QFontInfo(p.font).family(), QStringLiteral("DejaVu Sans"));
  EXPECT_EQ(p.font.pointSize(), 8);
  BaseUnits u = UnitsOf(p.font);
  EXPECT_EQ(p.dialog, InPixels(u, 0, 0, 200, 150).size());
  EXPECT_EQ(p.controls[IDC_NAME], InPixels(u, 50, 5, 80, 14));
  EXPECT_EQ(p.controls[IDC_COUNT], InPixels(u, 50, 22, 40, 14));
  EXPECT_EQ(p.controls[IDC_LIMIT], InPixels(u, 95, 22, 40, 14));
  EXPECT_EQ(p.controls[IDC_ENABLED], InPixels(u, 7, 40, 50, 10));
  EXPECT_EQ(p.controls[IDC_LOG], InPixels(u, 7, 60, 186, 50));
  EXPECT_EQ(p.controls[IDC_STATE], InPixels(u, 7, 115, 130, 13));
  EXPECT_EQ(p.controls[IDOK], InPixels(u, 143, 115, 50, 14));
  // A combo box's height in the template is its dropped list's; the field
  // itself is one line high.
  EXPECT_EQ(p.controls[IDC_PORT], InPixels(u, 60, 40, 60, 12));
}

TEST(DialogUnits, TheSameTemplateInATwiceAsLargeFontIsAboutTwiceAsLarge) {
  Placed small = PlacementOf(IDD_FIELDS);
  Placed large = PlacementOf(IDD_FIELDS_LARGE);
  EXPECT_EQ(large.font.pointSize(), 16);
  auto near2 = [](int a, int b) { return b > 0 && double(a) / b > 1.7 && double(a) / b < 2.3; };
  EXPECT_PRED2(near2, large.dialog.width(), small.dialog.width());
  EXPECT_PRED2(near2, large.dialog.height(), small.dialog.height());
  for (const auto& [id, r] : small.controls) {
    SCOPED_TRACE(id);
    const QRect& big = large.controls[id];
    EXPECT_PRED2(near2, big.x(), r.x());
    EXPECT_PRED2(near2, big.y(), r.y());
    EXPECT_PRED2(near2, big.width(), r.width());
    EXPECT_PRED2(near2, big.height(), r.height());
  }
}

}  // namespace
