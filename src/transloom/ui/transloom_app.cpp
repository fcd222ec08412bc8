#include "transloom/ui/transloom_app.h"

#include "common/uitext/language_table.h"
#include "common/widgets/qt_message_sink.h"
#include "transloom/ui/transloom_dlg.h"

int CTransloomApp::Run() {
  // The texts of the program folder, before any window is made.
  uitext::CMultiLanguage::GetInstance()->LoadLanguage();
  {
    widgets::QtMessageSink sink;
    CTransloomDlg dlg(&sink);
    sink.SetOwner(&dlg);
    dlg.exec();
  }
  uitext::CMultiLanguage::ReleaseInstance();
  return 0;
}
