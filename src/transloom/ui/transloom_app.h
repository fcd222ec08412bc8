// CTransloomApp: the language tool's start. Loads the UI texts from the
// Config.ini and .lang files beside the executable, runs the main dialog
// modally and ends when it closes.
#pragma once

class CTransloomApp {
 public:
  // Runs the program; the QApplication must exist. Returns the exit status.
  int Run();
};
