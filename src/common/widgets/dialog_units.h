// Dialog units: dialog templates give positions in units of the dialog
// font, a quarter of its average character width across and an eighth of
// its character height down. These turn them into pixels the way the
// original platform does, so a dialog keeps its proportions in any font.
#pragma once

#include <QFont>
#include <QRect>

namespace widgets {

struct DialogBaseUnits {
  int x = 0;  // average character width, pixels
  int y = 0;  // character height, pixels
};

// The average width is that of the 52 Latin letters, rounded.
DialogBaseUnits BaseUnitsOf(const QFont& font);

// Rounded a * b / c, halves away from zero.
int MulDiv(int a, int b, int c);

// Left, top, right and bottom are converted on their own, so neighbouring
// controls stay flush.
QRect MapDialogRect(const QRect& units, const DialogBaseUnits& base);

}  // namespace widgets
