// CFirmsmithApp: start-up and exit of Firmsmith. The language table is
// prepared before any window exists, the main dialog runs modally, and the
// process ends when it closes; the table is released with the application
// object.
#pragma once

namespace shell {

class CFirmsmithApp {
 public:
  CFirmsmithApp() = default;
  ~CFirmsmithApp();
  CFirmsmithApp(const CFirmsmithApp&) = delete;
  CFirmsmithApp& operator=(const CFirmsmithApp&) = delete;

  // Needs a QApplication. Runs the main dialog and returns the exit status.
  //
  // Diagnostics for UI checks: when FIRMSMITH_UI_REPORT names a file, the
  // dialog is shown, its captions are written there ("objectName<TAB>text"
  // per captioned control, the window title first) and it closes again.
  int InitInstance();
};

}  // namespace shell
