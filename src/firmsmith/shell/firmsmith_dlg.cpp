#include "firmsmith/shell/firmsmith_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QEvent>
#include <QEventLoop>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>
#include <thread>

#include "common/devlink/devlink.h"
#include "common/platform/progdir.h"
#include "common/uitext/language_table.h"
#include "common/uitext/translate_window.h"
#include "common/widgets/held_message_sink.h"
#include "common/widgets/qt_message_sink.h"
#include "firmsmith/check/package_verify.h"
#include "firmsmith/package/make/make_operation.h"
#include "firmsmith/products/product_check.h"
#include "firmsmith/shell/crash_report.h"
#include "common/net/ping.h"

namespace shell {
namespace {

QString Text(const std::string& key) { return QString::fromStdString(uitext::GetString(key)); }

// Resolution of the progress bar when a step carries a byte count.
constexpr int kProgressBarSteps = 1000;

// The about box: program name and version, one OK button.
class AboutDialog : public QDialog {
 public:
  explicit AboutDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(QStringLiteral("About Firmsmith"));
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    uitext::TranslateWindow(this, *uitext::CInitLanguage::GetInstance());
    // Without a translation the fallback would keep only what follows the
    // first "." of the key ("0" of "Version 1.0"); the key itself reads right.
    const std::string key = "Firmsmith, Version 1.0";
    std::string shown = uitext::GetString(key);
    if (shown == uitext::FallbackText(key)) shown = key;
    auto* text = new QLabel(QString::fromStdString(shown), this);
    ok->setDefault(true);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(ok);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addLayout(row);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  }
};

}  // namespace

CFirmsmithDlg::CFirmsmithDlg(const DialogEnvironment& environment, QWidget* parent)
    : QDialog(parent), environment_(environment) {
  programDirectory_ = environment_.programDirectory.empty() ? platform::GetProgramDirectory()
                                                            : environment_.programDirectory;
  if (!programDirectory_.empty() && programDirectory_.back() != '/') programDirectory_ += '/';
  if (environment_.sink) {
    sink_ = environment_.sink;
  } else {
    ownSink_ = std::make_unique<widgets::QtMessageSink>(this);
    sink_ = ownSink_.get();
  }
  CreateControls();
}

CFirmsmithDlg::~CFirmsmithDlg() {
  // The device access library lives as long as the main window.
  if (devlinkStarted_) DL_Cleanup();
}

int CFirmsmithDlg::exec() {
  OnInitDialog();
  return QDialog::exec();
}

void CFirmsmithDlg::OnInitDialog() {
  if (initialised_) return;
  initialised_ = true;

  // 1. Controls are bound; from here on a crash leaves a report.
  if (environment_.installCrashHandler) InstallCrashHandler();
  uitext::TranslateWindow(this, *uitext::CInitLanguage::GetInstance());
  // Placeholders are not captions; TranslateWindow leaves edits alone.
  c_.productFilter->setPlaceholderText(Text("Filter"));

  // 2. Window icon (the about entry is the About button).
  setWindowIcon(checkedIcon_);

  // 3.
  productFilter_.clear();
  fullLanguageStrings_ = false;
  koreanFonts_ = 0;

  // 4.
  for (int row : {kRowWeb, kRowLogo, kRowUser, kRowRomfs, kRowCustom, kRowApp})
    c_.rows[row].browse->setEnabled(false);

  // 5.
  c_.packageType->addItem(Text("Network_upgrades"));
  c_.packageType->addItem(Text("Burning_piecefile"));
  c_.packageType->setCurrentIndex(0);

  // 6.
  productList_.clear();
  for (products::ProductFile& f : products::LoadProductFiles(programDirectory_)) {
    productList_.push_back(std::move(f.profile));
    productFileNames_.push_back(f.fileName);
    productProblems_.push_back(f.problem);
  }
  FillProductTree();

  // 7.
  for (const PartitionRow& row : c_.rows) row.check->setEnabled(false);
  for (QWidget* w : std::initializer_list<QWidget*>{
           c_.strings.check, c_.pictures.check, c_.configs.check, c_.restoreDefaults,
           c_.ubootLogo.check, c_.romfs2.check, c_.param.check, c_.strings.path,
           c_.pictures.path, c_.configs.path, c_.rows[kRowApp].path, c_.rows[kRowYlk].path,
           c_.ubootLogo.path, c_.romfs2.path, c_.param.path, c_.strings.browse,
           c_.pictures.browse, c_.configs.browse, c_.ubootLogo.browse, c_.romfs2.browse,
           c_.param.browse, c_.line})
    w->setEnabled(false);

  // 8.
  std::vector<QComboBox*> typeLists;
  for (const PartitionRow& row : c_.rows) typeLists.push_back(row.type);
  typeLists.push_back(c_.ubootLogoType);
  for (QComboBox* list : typeLists) {
    list->addItems({QStringLiteral("Cramfs"), QStringLiteral("Squashfs"), QStringLiteral("Jffs2"),
                    QStringLiteral("Ext4")});
    list->setCurrentIndex(0);
    list->setEnabled(false);
  }

  // 9.
  c_.fromDevice->setChecked(true);
  c_.fromDevice->setEnabled(false);
  c_.devicePort->setText(QStringLiteral("34567"));
  c_.userName->setText(QStringLiteral("admin"));

  // 10.
  c_.unmountPartitions->setChecked(false);
  c_.unmountPartitions->setVisible(false);
  c_.rows[kRowApp].container->setVisible(false);
  c_.rows[kRowYlk].container->setVisible(false);

  // 11.
  FillGainLists();

  // 12.
  devlinkStarted_ = DL_Init(0, 0);

  // 13.
  c_.macLabel->setVisible(false);
  c_.mac->setVisible(false);
  const DeploymentSettings deployment = LoadDeploymentSettings(programDirectory_ + "Config.ini");
  probeAddress_ = deployment.probeAddress;
  c_.cloudAddress->setText(QString::fromStdString(deployment.cloudServerHost));
  c_.cloudPort->setText(QStringLiteral("8000"));
  c_.oemDevTypeText->setMaxLength(2);
  c_.oemDevType->setVisible(false);
  c_.oemDevTypeText->setVisible(false);

  // The customisation controls start as custom-x unchecked leaves them, and
  // "From Device" in its checked layout.
  OnCustomCheck();
  c_.deviceModel->setEnabled(false);
  OnDeviceModel();
  OnUserCheck();
  OnFromDevice();
  ConnectEvents();
}

void CFirmsmithDlg::ConnectEvents() {
  connect(c_.productTree, &QTreeWidget::itemClicked, this,
          [this](QTreeWidgetItem* item) { OnProductClicked(item); });
  c_.productTree->installEventFilter(this);
  connect(c_.productFilter, &QLineEdit::textChanged, this,
          [this](const QString& text) { OnProductFilterChanged(text); });
  connect(c_.originalBrowse, &QPushButton::clicked, this, [this] { OnOriginalBrowse(); });
  connect(c_.originalFile, &QLineEdit::textChanged, this, [this] { OnOriginalFileChanged(); });
  connect(c_.packageType, &QComboBox::currentIndexChanged, this,
          [this] { OnPackageTypeChanged(); });

  for (int row = 0; row < kRowCount; ++row) {
    connect(c_.rows[row].check, &QCheckBox::clicked, this, [this, row] { OnPartitionCheck(row); });
    connect(c_.rows[row].browse, &QPushButton::clicked, this,
            [this, row] { OnPartitionBrowse(row); });
  }
  connect(c_.lineInGain, &QCheckBox::clicked, this, [this] { OnLineInGain(); });
  connect(c_.strings.check, &QCheckBox::clicked, this, [this] { OnStringsCheck(); });
  connect(c_.pictures.check, &QCheckBox::clicked, this, [this] { OnPicturesCheck(); });
  connect(c_.configs.check, &QCheckBox::clicked, this, [this] { OnConfigsCheck(); });
  connect(c_.fromDevice, &QCheckBox::clicked, this, [this] { OnFromDevice(); });
  connect(c_.appDownloadLink, &QCheckBox::clicked, this, [this] { OnAppDownloadLink(); });
  connect(c_.cloudServer, &QCheckBox::clicked, this, [this] { OnCloudServer(); });
  connect(c_.deviceModel, &QCheckBox::clicked, this, [this] { OnDeviceModel(); });
  connect(c_.ios, &QCheckBox::clicked, this, [this] { OnIos(); });
  connect(c_.android, &QCheckBox::clicked, this, [this] { OnAndroid(); });
  connect(c_.other, &QCheckBox::clicked, this, [this] { OnOther(); });
  connect(c_.closeOnlineUpgrade, &QCheckBox::clicked, this,
          [this] { closeUpgradeClicked_ = true; });
  connect(c_.strings.browse, &QPushButton::clicked, this, [this] { OnStringsBrowse(); });
  connect(c_.pictures.browse, &QPushButton::clicked, this,
          [this] { OnOptionBrowse(package::kSlotMtd, c_.pictures.path); });
  connect(c_.configs.browse, &QPushButton::clicked, this,
          [this] { OnOptionBrowse(package::kSlotUbootLogo, c_.configs.path); });
  connect(c_.advance, &QPushButton::clicked, this, [this] { OnAdvance(); });

  connect(c_.restoreDefaults, &QCheckBox::clicked, this, [this] { ApplyRestoreDefaultsRule(true); });
  connect(c_.ubootLogo.check, &QCheckBox::clicked, this, [this] { ApplyUbootLogoRule(true); });
  connect(c_.romfs2.check, &QCheckBox::clicked, this, [this] { ApplyRomfs2Rule(true); });
  connect(c_.param.check, &QCheckBox::clicked, this, [this] { ApplyParamRule(true); });
  connect(c_.ubootLogo.browse, &QPushButton::clicked, this, [this] { OnUbootLogoBrowse(); });
  connect(c_.romfs2.browse, &QPushButton::clicked, this,
          [this] { OnOptionBrowse(package::kSlotRomfs2, c_.romfs2.path); });
  connect(c_.param.browse, &QPushButton::clicked, this,
          [this] { OnOptionBrowse(package::kSlotParam, c_.param.path); });

  for (QLineEdit* port : {c_.devicePort, c_.cloudPort}) {
    connect(port, &QLineEdit::textChanged, this, [this, port] { OnPortEdited(port); });
    port->installEventFilter(this);
  }

  // The layout bar follows every folder chosen for a partition.
  for (QLineEdit* path : {c_.rows[kRowWeb].path, c_.rows[kRowLogo].path, c_.rows[kRowUser].path,
                          c_.rows[kRowRomfs].path, c_.rows[kRowCustom].path, c_.romfs2.path,
                          c_.param.path})
    connect(path, &QLineEdit::textChanged, this, [this] { UpdateFlashLayout(); });

  connect(c_.ok, &QPushButton::clicked, this, [this] { OnOk(); });
  connect(c_.cancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(c_.about, &QPushButton::clicked, this, [this] { OnAbout(); });
}

bool CFirmsmithDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut &&
      (watched == c_.devicePort || watched == c_.cloudPort)) {
    auto* port = static_cast<QLineEdit*>(watched);
    // Both ports fall back to the device's usual port when left empty.
    if (port->text().trimmed().isEmpty()) port->setText(QStringLiteral("34567"));
  } else if (event->type() == QEvent::KeyPress && watched == c_.productTree) {
    // Space ticks the current product, as a click on it does.
    if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space) {
      if (QTreeWidgetItem* item = c_.productTree->currentItem()) OnProductClicked(item);
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

package::MakeOptions CFirmsmithDlg::CollectOptions() const {
  package::MakeOptions o;
  o.kind = c_.packageType->currentIndex() == 1 ? package::PackageKind::BurningPiecefile
                                               : package::PackageKind::NetworkUpgrades;
  o.originalFile = c_.originalFile->text().toStdString();
  o.originalFileLoaded = originalFileLoaded_;
  o.selectedProduct = selectedProduct_;

  for (int i = 0; i < package::kSlotCount; ++i) {
    o.slots[i].value = slots_[i].value;
    o.slots[i].imageName = slots_[i].imageName;
  }
  const auto path = [](const QLineEdit* edit) { return edit->text().toStdString(); };
  for (const PartitionRow& row : c_.rows) {
    o.slots[row.slot].sourcePath = path(row.path);
    o.slots[row.slot].fs = row.type->currentIndex() + 1;  // list position 0..3 = codes 1..4
  }
  o.slots[package::kSlotStrings].sourcePath = path(c_.strings.path);
  o.slots[package::kSlotMtd].sourcePath = path(c_.pictures.path);
  o.slots[package::kSlotUbootLogo].sourcePath = path(c_.configs.path);
  o.slots[package::kSlotRomfs2].sourcePath = path(c_.romfs2.path);
  o.slots[package::kSlotParam].sourcePath = path(c_.param.path);

  o.strings = c_.strings.check->isChecked();
  o.fullLanguageStrings = fullLanguageStrings_;
  if (fullLanguageStrings_ && stringsStaging_) o.stagedStringsFolder = stringsStaging_->path();
  o.koreanFonts = koreanFonts_ != 0;
  o.pictures = c_.pictures.check->isChecked();
  o.configs = c_.configs.check->isChecked();
  o.fromDevice = c_.fromDevice->isChecked();
  o.deviceIp = c_.deviceIp->text().toStdString();
  o.devicePort = path(c_.devicePort);
  o.userName = path(c_.userName);
  o.password = path(c_.password);
  o.copyUsers = c_.copyUsers->isChecked();
  o.appDownloadLink = c_.appDownloadLink->isChecked();
  o.ios = c_.ios->isChecked();
  o.iosLink = path(c_.iosLink);
  o.android = c_.android->isChecked();
  o.androidLink = path(c_.androidLink);
  o.sn = c_.sn->isChecked();
  o.other = c_.other->isChecked();
  o.otherName = path(c_.otherName);
  o.otherContent = path(c_.otherContent);
  o.cloudServer = c_.cloudServer->isChecked();
  o.cloudAddress = path(c_.cloudAddress);
  o.cloudPort = path(c_.cloudPort);
  o.deviceModel = c_.deviceModel->isChecked();
  o.deviceModelText = path(c_.deviceModelText);
  o.closeOnlineUpgrade = c_.closeOnlineUpgrade->isChecked();
  o.lineInGain = c_.lineInGain->isChecked();
  o.lineInLeft = c_.lineInLeft->currentText().toStdString();
  o.lineInRight = c_.lineInRight->currentText().toStdString();
  o.oemDevType = c_.oemDevType->isChecked();
  o.oemDevTypeText = path(c_.oemDevTypeText);
  o.restoreDefaults = c_.restoreDefaults->isChecked();
  o.unmountPartitions = c_.unmountPartitions->isChecked();
  o.ubootLogo = c_.ubootLogo.check->isChecked();
  o.ubootLogoPath = path(c_.ubootLogo.path);
  o.romfs2 = c_.romfs2.check->isChecked();
  o.param = c_.param.check->isChecked();
  return o;
}

void CFirmsmithDlg::OnOk() {
  if (building_) return;
  // The record is taken before the run starts: nothing the operator does to
  // the window meanwhile reaches the build.
  const package::MakeOptions options = CollectOptions();
  // The run's boxes wait until it ends; questions reach the operator at once.
  widgets::HeldMessageSink heldSink(sink_, this);
  package::MakeEnvironment environment;
  environment.programDirectory = programDirectory_;
  environment.sink = &heldSink;
  environment.pauseScale = environment_.pauseScale.value_or(
      package::ConfiguredPauseScale(programDirectory_));
  environment.sleep = environment_.sleep;
  environment.customiser = environment_.customiser;
  // What the run wrote is checked before the operator is told it is made.
  environment.verifyOutput = check::MakeOutputVerifier();
  environment.progress = [this](const package::MakeProgress& step) {
    QMetaObject::invokeMethod(this, [this, step] { ShowStep(step); }, Qt::QueuedConnection);
  };

  SetBuilding(true);
  QEventLoop waiting;
  package::MakeOutcome outcome = package::MakeOutcome::kFailed;
  std::thread worker([&] {
    try {
      outcome = package::RunMakeOperation(options, environment);
    } catch (const std::exception& e) {
      // Nothing was replaced: outputs replace their files only once checked.
      heldSink.ShowDetailed(uitext::GetString("make_updatefile_failed"), package::kApplicationTitle,
                            std::string("the build stopped: ") + e.what(),
                            platform::MessageSeverity::Critical);
    }
    // Queued behind every step the run reported.
    QMetaObject::invokeMethod(&waiting, [&waiting] { waiting.quit(); }, Qt::QueuedConnection);
  });
  waiting.exec();
  worker.join();
  SetBuilding(false);
  heldSink.ShowHeld();
  Q_EMIT buildFinished(outcome);
}

void CFirmsmithDlg::SetBuilding(bool building) {
  building_ = building;
  if (building) {
    lockedWhileBuilding_.clear();
    for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
      // A control disabled by the rules stays so; only the others are
      // locked and given back.
      if (child == c_.progressPanel || child->isWindow() ||
          child->testAttribute(Qt::WA_ForceDisabled))
        continue;
      child->setEnabled(false);
      lockedWhileBuilding_.push_back(child);
    }
    c_.progressText->clear();
    c_.progressBar->setRange(0, 0);
    c_.progressPanel->setVisible(true);
    setCursor(Qt::BusyCursor);
  } else {
    for (QWidget* child : lockedWhileBuilding_) child->setEnabled(true);
    lockedWhileBuilding_.clear();
    c_.progressPanel->setVisible(false);
    unsetCursor();
  }
}

void CFirmsmithDlg::ShowStep(const package::MakeProgress& step) {
  const QString line = QString::fromStdString(package::DescribeProgress(step));
  c_.progressText->setText(line);
  if (step.total == 0) {
    c_.progressBar->setRange(0, 0);  // moving: no count to show
    c_.progressBar->setTextVisible(false);
  } else {
    c_.progressBar->setRange(0, kProgressBarSteps);
    c_.progressBar->setFormat(QStringLiteral("%p%"));
    c_.progressBar->setTextVisible(true);
    const std::uint64_t done = std::min(step.done, step.total);
    c_.progressBar->setValue(static_cast<int>(done * kProgressBarSteps / step.total));
  }
  Q_EMIT buildStepShown(line);
}

void CFirmsmithDlg::reject() {
  if (!building_) QDialog::reject();
}

void CFirmsmithDlg::closeEvent(QCloseEvent* event) {
  // The build's thread works on the operator's files: the window waits for it.
  if (building_) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void CFirmsmithDlg::OnAbout() {
  AboutDialog about(this);
  about.exec();
}

void CFirmsmithDlg::ShowMessageKey(const std::string& textKey, const std::string& captionKey) {
  if (sink_)
    sink_->ShowMessage(uitext::GetString(textKey), uitext::GetString(captionKey),
                       platform::MessageButtons::Ok);
}

}  // namespace shell
