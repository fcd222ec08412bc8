// TranslateWindow for Qt dialogs: retitles a window and its controls through
// a language table. Line edits and IP-address fields (and, in Firmsmith's
// configuration, video and map widgets) keep their text: it is data, not a
// caption.
#pragma once

class QWidget;

namespace uitext {

class LanguageTable;

// The window's own title, then each direct child in creation order. Plain
// containers (group boxes, frames, bare widgets) stand for the dialog's own
// surface in a Qt layout, so their children count as direct children too;
// composite controls (combo boxes, spin boxes, item views) are not entered.
void TranslateWindow(QWidget* window, const LanguageTable& table);

}  // namespace uitext
