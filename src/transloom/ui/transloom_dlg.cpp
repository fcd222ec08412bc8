#include "transloom/ui/transloom_dlg.h"

#include <QAction>
#include <QEventLoop>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <thread>

#include "common/uitext/language_table.h"
#include "common/uitext/translate_window.h"
#include "common/widgets/dialog_units.h"
#include "common/widgets/ip_address_edit.h"
#include "common/widgets/qt_message_sink.h"
#include "transloom/core/file_names.h"
#include "transloom/ui/about_dlg.h"

namespace {

constexpr int kUserNameLimit = 64;
constexpr int kPasswordLimit = 64;
constexpr int kPortLimit = 5;

}  // namespace

using Kind = CTransloomDlg::Kind;

const CTransloomDlg::TemplateControl CTransloomDlg::kTemplate[] = {
    {"ipLabel", 0, Kind::Label, "IP", 21, 15, 9, 8},
    {"ipAddress", IDC_IPADDRESS, Kind::Address, "", 61, 14, 99, 14},
    {"portLabel", 0, Kind::Label, "Transloom.Port", 168, 15, 33, 8},
    {"port", IDC_PORT, Kind::Edit, "", 212, 14, 99, 14},
    {"userNameLabel", 0, Kind::Label, "Transloom.UserName", 21, 48, 40, 8},
    {"userName", IDC_USERNAME, Kind::Edit, "", 62, 44, 99, 14},
    {"passwordLabel", 0, Kind::Label, "Transloom.Password", 168, 48, 37, 8},
    {"password", IDC_PASSWORD, Kind::Edit, "", 212, 45, 99, 14},
    {"login", IDC_LOGIN, Kind::Button, "Transloom.Login", 319, 46, 50, 14},
    {"exportGroup", 0, Kind::GroupBox, "Transloom.LanExport", 17, 76, 141, 161},
    {"languagesLabel", 0, Kind::Label, "Transloom.AbleLan", 29, 93, 69, 8},
    {"languages", IDC_LANGUAGES, Kind::List, "", 41, 108, 77, 90},
    {"exportExcel", IDC_EXPORT, Kind::Button, "Transloom.ExportExcel", 55, 213, 50, 14},
    {"testGroup", 0, Kind::GroupBox, "Transloom.Test", 199, 85, 163, 80},
    {"importToDevice", IDC_IMPORT, Kind::Button, "Transloom.import to Device", 227, 104, 73, 18},
    {"deleteLanguage", IDC_DELETE, Kind::Button, "Transloom.Delete Language", 225, 130, 75, 18},
    {"convertGroup", 0, Kind::GroupBox, "Transloom.Convert excel into language", 198, 173, 166, 65},
    {"createLanguage", IDC_CREATE, Kind::Button, "Transloom.Create Language", 240, 185, 78, 27},
    {"steps", 0, Kind::WrappedLabel,
     "Transloom.Steps: Login -> Export Language -> Edit Translation -> Download to device "
     "testing -> After a successful test conversion -> Back to main page Packager",
     24, 247, 342, 28},
    {"ok", IDC_OK, Kind::Button, "Transloom.OK", 147, 291, 50, 14},
};
const std::size_t CTransloomDlg::kTemplateSize = std::size(CTransloomDlg::kTemplate);
const char* const CTransloomDlg::kAboutMenuText = "关于 Transloom(&A)...";

CTransloomDlg::CTransloomDlg(platform::MessageSink* sink, QWidget* parent)
    : QDialog(parent), ToolSession(sink) {
  BuildControls();
  OnInitDialog();
}

CTransloomDlg::~CTransloomDlg() { EndDeviceLibrary(); }

void CTransloomDlg::BuildControls() {
  setWindowTitle(QStringLiteral("Transloom"));
  const widgets::DialogBaseUnits base = widgets::BaseUnitsOf(font());
  setFixedSize(widgets::MapDialogRect(QRect(0, 0, kWidthUnits, kHeightUnits), base).size());
  for (const TemplateControl& c : kTemplate) {
    const QString text = QString::fromUtf8(c.text);
    QWidget* w = nullptr;
    switch (c.kind) {
      case Kind::Label: w = new QLabel(text, this); break;
      case Kind::WrappedLabel: {
        auto* label = new QLabel(text, this);
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        w = label;
        break;
      }
      case Kind::Address: w = m_ctrlIP = new IpAddressEdit(this); break;
      case Kind::Edit: w = new QLineEdit(this); break;
      case Kind::Button: {
        auto* button = new QPushButton(text, this);
        // No default button: Enter never presses one.
        button->setAutoDefault(false);
        w = button;
        break;
      }
      case Kind::GroupBox: w = new QGroupBox(text, this); break;
      case Kind::List: {
        auto* list = new QListWidget(this);
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        list->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        w = m_listLanguage = list;
        break;
      }
    }
    w->setObjectName(QString::fromUtf8(c.objectName));
    if (c.id != 0) w->setProperty("controlId", c.id);
    w->setGeometry(widgets::MapDialogRect(QRect(c.x, c.y, c.width, c.height), base));
  }
  m_busyBar = new QProgressBar(this);
  m_busyBar->setObjectName(QStringLiteral("busy"));
  m_busyBar->setRange(0, 0);  // no end known: the bar only moves
  m_busyBar->setTextVisible(false);
  m_busyBar->setToolTip(QString::fromStdString(uitext::GetString("Transloom.Busy")));
  m_busyBar->setAccessibleName(m_busyBar->toolTip());
  m_busyBar->setGeometry(widgets::MapDialogRect(
      QRect(kBusyBar[0], kBusyBar[1], kBusyBar[2], kBusyBar[3]), base));
  m_busyBar->hide();
  m_cancelButton = new QPushButton(QStringLiteral("Transloom.Cancel"), this);
  m_cancelButton->setObjectName(QStringLiteral("cancel"));
  m_cancelButton->setAutoDefault(false);
  m_cancelButton->setGeometry(widgets::MapDialogRect(
      QRect(kCancelButton[0], kCancelButton[1], kCancelButton[2], kCancelButton[3]), base));
  m_cancelButton->hide();
  // Write() to a pipe: safe from the UI thread while the worker waits.
  connect(m_cancelButton, &QPushButton::clicked, this, [this] { CancelLogin(); });

  m_editPort = findChild<QLineEdit*>(QStringLiteral("port"));
  m_editUserName = findChild<QLineEdit*>(QStringLiteral("userName"));
  m_editPassword = findChild<QLineEdit*>(QStringLiteral("password"));
  // The password is shown in clear, as the operator types it from a label.
  m_editPassword->setEchoMode(QLineEdit::Normal);

  auto route = [this](const char* name, auto handler) {
    connect(findChild<QPushButton*>(QString::fromUtf8(name)), &QPushButton::clicked, this, handler);
  };
  route("login", [this] { OnLogin(); });
  // A call that found the connection lost ends the session: the list then
  // shows the logged-out state.
  route("exportExcel", [this] {
    OnExportExcel();
    if (!IsLoggedIn()) FillLanguageList();
  });
  route("importToDevice", [this] {
    OnImportToDevice();
    if (!IsLoggedIn()) FillLanguageList();
  });
  route("deleteLanguage", [this] {
    OnDeleteLanguage();
    if (!IsLoggedIn()) FillLanguageList();
  });
  route("createLanguage", [this] { OnCreateLanguage(); });
  route("ok", [this] { accept(); });

  // Enter is swallowed before any control or the dialog sees it.
  installEventFilter(this);
  for (QWidget* w : findChildren<QWidget*>()) w->installEventFilter(this);
}

void CTransloomDlg::OnInitDialog() {
  uitext::TranslateWindow(this, *uitext::CMultiLanguage::GetInstance());

  // The window menu of the platform is not ours to extend here; the About
  // entry lives in the dialog's own context menu instead.
  auto* separator = new QAction(this);
  separator->setSeparator(true);
  auto* about = new QAction(QString::fromUtf8(kAboutMenuText), this);
  about->setObjectName(QStringLiteral("aboutAction"));
  connect(about, &QAction::triggered, this, [this] { ShowAbout(); });
  addAction(separator);
  addAction(about);
  setContextMenuPolicy(Qt::ActionsContextMenu);

  setWindowIcon(TransloomIcon());

  StartDeviceLibrary();

  m_ctrlIP->setAddress(192, 168, 1, 10);
  m_editUserName->setText(QStringLiteral("admin"));
  m_editUserName->setMaxLength(kUserNameLimit);
  m_editPort->setText(QStringLiteral("34567"));
  m_editPort->setMaxLength(kPortLimit);
  m_editPassword->clear();
  m_editPassword->setMaxLength(kPasswordLimit);
}

void CTransloomDlg::ShowAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CTransloomDlg::FillLanguageList() {
  m_listLanguage->clear();
  for (const std::string& name : Languages()) m_listLanguage->addItem(QString::fromStdString(name));
}

void CTransloomDlg::OnLogin() {
  transloom::LoginInput input;
  input.ip = m_ctrlIP->text().toStdString();
  input.portText = m_editPort->text().toStdString();
  input.user = m_editUserName->text().toStdString();
  input.password = m_editPassword->text().toStdString();
  // The list is emptied by every attempt, and filled by a successful one.
  m_listLanguage->clear();
  OnLogin(input);
  FillLanguageList();
}

void CTransloomDlg::OnExportExcel() {
  const QList<QListWidgetItem*> selected = m_listLanguage->selectedItems();
  OnExportExcel(selected.isEmpty() ? std::string() : selected.front()->text().toStdString());
}

std::optional<std::string> CTransloomDlg::ChooseSavePath(const std::string& defaultName) {
  if (auto* qt = dynamic_cast<widgets::QtMessageSink*>(sink()))
    return qt->ChooseSaveFile("Save As", transloom::kSaveWorkbookFilter, defaultName, "xls");
  return ToolSession::ChooseSavePath(defaultName);
}

void CTransloomDlg::SetBusy(bool busy, bool isLogin) {
  busy_ = busy;
  // One call at a time: nothing that starts an operation (or closes the
  // dialog under it) is usable until the call has ended.
  for (const char* name :
       {"login", "exportExcel", "importToDevice", "deleteLanguage", "createLanguage", "ok"})
    findChild<QPushButton*>(QString::fromUtf8(name))->setEnabled(!busy);
  m_busyBar->setVisible(busy);
  m_cancelButton->setVisible(busy && isLogin);
  m_cancelButton->setEnabled(busy && isLogin);
  if (busy) {
    setCursor(Qt::BusyCursor);
  } else {
    unsetCursor();
  }
}

std::int32_t CTransloomDlg::RunDeviceCall(const std::function<std::int32_t()>& call,
                                          bool isLogin) {
  SetBusy(true, isLogin);
  std::int32_t result = 0;
  QEventLoop loop;
  // The worker only runs the call; everything that touches the window
  // stays on this thread, which keeps handling events until it is done.
  std::thread worker([&] {
    result = call();
    QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
  SetBusy(false, isLogin);
  if (closeRequested_) {
    // Closed during the call: close once the operation has returned.
    closeRequested_ = false;
    QTimer::singleShot(0, this, [this] { reject(); });
  }
  return result;
}

void CTransloomDlg::reject() {
  if (busy_) {
    closeRequested_ = true;
    CancelLogin();
    return;
  }
  QDialog::reject();
}

bool CTransloomDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) return true;
  }
  return QDialog::eventFilter(watched, event);
}
