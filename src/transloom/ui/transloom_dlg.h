// CTransloomDlg: the language tool's main dialog (template 102). It holds the
// session state and runs the operations of ToolSession; the widgets only
// gather the login fields and the chosen language and show the list.
// Device calls run on a worker thread, one at a time and in the operations'
// order: meanwhile the window keeps painting, a busy bar shows, the buttons
// that start operations (and OK) are disabled, and a login can be cancelled.
// Closing the window during a call cancels a login and closes once the call
// has ended.
#pragma once

#include <QDialog>

#include "transloom/core/session.h"

class IpAddressEdit;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

class CTransloomDlg : public QDialog, public transloom::ToolSession {
  Q_OBJECT

 public:
  // Control ids of the template; each control carries its id in the
  // "controlId" property.
  enum ControlId {
    IDC_PORT = 1001,
    IDC_USERNAME = 1002,
    IDC_PASSWORD = 1003,
    IDC_LOGIN = 1004,
    IDC_IPADDRESS = 1005,
    IDC_LANGUAGES = 1009,
    IDC_EXPORT = 1010,
    IDC_IMPORT = 1011,
    IDC_DELETE = 1012,
    IDC_OK = 1013,
    IDC_CREATE = 1014,
  };

  // `sink` shows every box and chooser and must outlive the dialog. Starts
  // the device library (DL_Init, DL_SetConnectTime).
  explicit CTransloomDlg(platform::MessageSink* sink, QWidget* parent = nullptr);
  // Ends the session (DL_Logout of whatever the handle holds), then releases
  // the device library (DL_Cleanup).
  ~CTransloomDlg() override;

  using transloom::ToolSession::OnExportExcel;
  using transloom::ToolSession::OnLogin;
  // Button handlers: read the controls, run the operation, show its result.
  void OnLogin();
  void OnExportExcel();

  // Template 102 in creation (tab and Z) order; rectangles in dialog units.
  enum class Kind { Label, WrappedLabel, Address, Edit, Button, GroupBox, List };
  struct TemplateControl {
    const char* objectName;
    int id;  // 0 for labels and group boxes
    Kind kind;
    const char* text;  // key that TranslateWindow replaces
    int x, y, width, height;
  };
  static const TemplateControl kTemplate[];
  static const std::size_t kTemplateSize;
  static constexpr int kWidthUnits = 390;
  static constexpr int kHeightUnits = 319;
  static const char* const kAboutMenuText;
  // Shown only while a device call runs (not part of the template); dialog
  // units as above.
  static constexpr int kBusyBar[4] = {62, 63, 249, 8};
  static constexpr int kCancelButton[4] = {319, 61, 50, 14};

  // True while a device call runs.
  bool IsBusy() const { return busy_; }
  void reject() override;

 protected:
  std::optional<std::string> ChooseSavePath(const std::string& defaultName) override;
  std::int32_t RunDeviceCall(const std::function<std::int32_t()>& call, bool isLogin) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  void OnInitDialog();
  void ShowAbout();
  void FillLanguageList();
  void SetBusy(bool busy, bool isLogin);

  IpAddressEdit* m_ctrlIP = nullptr;
  QLineEdit* m_editPort = nullptr;
  QLineEdit* m_editUserName = nullptr;
  QLineEdit* m_editPassword = nullptr;
  QListWidget* m_listLanguage = nullptr;
  QProgressBar* m_busyBar = nullptr;
  QPushButton* m_cancelButton = nullptr;
  bool busy_ = false;
  bool closeRequested_ = false;
};
