#include "common/widgets/dialog_units.h"

#include <QFontMetrics>
#include <cstdlib>

namespace widgets {

DialogBaseUnits BaseUnitsOf(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {(letters / 26 + 1) / 2, metrics.height()};
}

int MulDiv(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  const long long half = std::llabs(c) / 2;
  const long long rounded = (product >= 0) == (c >= 0)
                                ? (std::llabs(product) + half) / std::llabs(c)
                                : -((std::llabs(product) + half) / std::llabs(c));
  return static_cast<int>(rounded);
}

QRect MapDialogRect(const QRect& units, const DialogBaseUnits& base) {
  const int left = MulDiv(units.x(), base.x, 4);
  const int top = MulDiv(units.y(), base.y, 8);
  const int right = MulDiv(units.x() + units.width(), base.x, 4);
  const int bottom = MulDiv(units.y() + units.height(), base.y, 8);
  return QRect(left, top, right - left, bottom - top);
}

}  // namespace widgets
