// The main dialog's events and rules: which boxes may be ticked, what each
// box does to the partition slots, and which fields follow which box.
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/platform/debuglog.h"
#include "common/platform/process.h"
#include "common/platform/profile.h"
#include "common/uitext/language_table.h"
#include "common/platform/file_ops.h"
#include "firmsmith/package/layout/input_probe.h"
#include "firmsmith/package/customise/user_gain.h"
#include "firmsmith/package/make/make_run_folders.h"
#include "firmsmith/shell/firmsmith_dlg.h"
#include "firmsmith/shell/language_select_dlg.h"
#include "common/net/ping.h"

namespace shell {
namespace {

constexpr int kIndexRole = Qt::UserRole;
constexpr int kTickedRole = Qt::UserRole + 1;
constexpr int kProbeTimeoutMs = 1000;
constexpr char kDefaultPort[] = "34567";
constexpr char kOriginalFileFilter[] = "Upgrade Files (*.bin)|*.bin|All Files (*.*)|*.*||";
// The chooser filters by the pattern in the description, so the description
// names the same "*.jpg" the filter does.
constexpr char kLogoFileFilter[] = "(*.jpg)|*.jpg||";
constexpr char kLanguageToolFolder[] = "bin/";
constexpr char kLanguageTool[] = "Transloom";
constexpr std::size_t kSolutionBuffer = 260;

// Position in a type list of a file-system code: 2, 3, 4 are Squashfs, Jffs2,
// Ext4; anything else is Cramfs.
int TypeIndex(int fs) { return fs >= products::kFsSquashfs && fs <= products::kFsExt4 ? fs - 1 : 0; }

bool Has(const products::PartitionSpec& spec) { return spec.start != 0 && spec.end != 0; }

void SetEnabled(std::initializer_list<QWidget*> widgets, bool enabled) {
  for (QWidget* w : widgets) w->setEnabled(enabled);
}

// A field that belongs to a box is usable only while the box is usable and ticked.
bool Active(const QCheckBox* box) { return box->isEnabled() && box->isChecked(); }

}  // namespace

// --- partition slots ---

void CFirmsmithDlg::SetSlot(int index, bool withName) {
  slots_[index].value = index + 1;
  if (withName) slots_[index].imageName = package::DefaultImageName(index, selectedProduct_);
}

void CFirmsmithDlg::ClearSlot(int index) {
  slots_[index].value = 0;
  slots_[index].imageName.clear();
}

bool CFirmsmithDlg::SlotSet(int index) const { return slots_[index].value == index + 1; }

// --- product tree ---

QTreeWidgetItem* CFirmsmithDlg::productItem(int listIndex) const {
  for (int i = 0; i < c_.productTree->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = c_.productTree->topLevelItem(i);
    if (item->data(0, kIndexRole).toInt() == listIndex) return item;
  }
  return nullptr;
}

bool CFirmsmithDlg::IsItemTicked(const QTreeWidgetItem* item) {
  return item != nullptr && item->data(0, kTickedRole).toBool();
}

void CFirmsmithDlg::SetItemTicked(QTreeWidgetItem* item, bool ticked) {
  item->setData(0, kTickedRole, ticked);
  item->setIcon(0, ticked ? checkedIcon_ : uncheckedIcon_);
}

void CFirmsmithDlg::FillProductTree() {
  c_.productTree->clear();
  const QString filter = QString::fromStdString(productFilter_);
  for (std::size_t i = 0; i < productList_.size(); ++i) {
    const std::string problem = i < productProblems_.size() ? productProblems_[i] : "";
    // A file that cannot be used as written is named by its file name: its
    // product name may be empty or not what the file meant.
    const QString name = QString::fromStdString(
        problem.empty() || i >= productFileNames_.size() ? productList_[i].name
                                                         : productFileNames_[i]);
    if (!name.contains(filter, Qt::CaseInsensitive)) continue;
    auto* item = new QTreeWidgetItem(c_.productTree, {name});
    item->setData(0, kIndexRole, static_cast<int>(i));
    if (!problem.empty()) {
      const QString reason = QString::fromStdString(problem);
      item->setToolTip(0, reason);
      item->setToolTip(1, reason);
      item->setIcon(1, style()->standardIcon(QStyle::SP_MessageBoxWarning));
    }
    // The chosen product is shown ticked whenever the filter lets it through.
    SetItemTicked(item, static_cast<int>(i) == selectedIndex_);
  }
}

void CFirmsmithDlg::OnProductFilterChanged(const QString& text) {
  productFilter_ = text.toStdString();
  FillProductTree();  // the choices stand; only the list shown changes
}

void CFirmsmithDlg::OnProductClicked(QTreeWidgetItem* item) {
  if (item == nullptr) return;
  c_.productTree->setCurrentItem(item);
  if (IsItemTicked(item)) {
    SetItemTicked(item, false);
    selectedProduct_ = products::ProductProfile{};
    selectedIndex_ = -1;
  } else {
    const int index = item->data(0, kIndexRole).toInt();
    if (index < 0 || index >= static_cast<int>(productList_.size())) return;
    SetItemTicked(item, true);
    selectedProduct_ = productList_[index];
    selectedIndex_ = index;
    for (int i = 0; i < c_.productTree->topLevelItemCount(); ++i)
      if (c_.productTree->topLevelItem(i) != item) SetItemTicked(c_.productTree->topLevelItem(i), false);
  }

  // Every partition row starts over for the new product.
  for (int row = 0; row < kRowCount; ++row) {
    PartitionRow& r = c_.rows[row];
    const products::PartitionSpec* spec = package::SlotPartition(selectedProduct_, r.slot);
    r.check->setEnabled(ProductSelected() && spec != nullptr && Has(*spec));
    r.check->setChecked(false);
    OnPartitionCheck(row);
  }
  c_.rows[kRowWeb].check->setText(selectedProduct_.webName.empty()
                                      ? QStringLiteral("web-x")
                                      : QString::fromStdString(selectedProduct_.webName + "-x"));
  c_.restoreDefaults->setChecked(false);
  c_.ubootLogo.check->setChecked(false);
  ClearSlot(package::kSlotMtd);
  ClearSlot(package::kSlotUbootLogo);
  ApplyRestoreDefaultsRule(false);
  ApplyUbootLogoRule(false);
  ApplyRomfs2Rule(false);
  ApplyParamRule(false);

  if (c_.originalFile->text().trimmed().isEmpty()) {
    SetTypeListsFromProduct();
    // Building from folders: the operator chooses each file system.
    SetTypeListsEnabled(ProductSelected(), false);
  } else {
    ExamineOriginalFile();
  }
  UpdateFlashLayout();
}

// --- original file and type lists ---

void CFirmsmithDlg::SetTypeListsFromProduct() {
  for (PartitionRow& row : c_.rows) {
    const products::PartitionSpec* spec = package::SlotPartition(selectedProduct_, row.slot);
    row.type->setCurrentIndex(TypeIndex(spec ? spec->fs : products::kFsCramfs));
  }
}

void CFirmsmithDlg::SetTypeListsEnabled(bool enabled, bool allSeven) {
  for (int row = 0; row < kRowCount; ++row)
    if (allSeven || (row != kRowApp && row != kRowYlk)) c_.rows[row].type->setEnabled(enabled);
}

void CFirmsmithDlg::ExamineOriginalFile() {
  package::MakeOptions probe;
  probe.kind = c_.packageType->currentIndex() == 1 ? package::PackageKind::BurningPiecefile
                                                   : package::PackageKind::NetworkUpgrades;
  probe.originalFile = c_.originalFile->text().trimmed().toStdString();
  probe.selectedProduct = selectedProduct_;
  for (const PartitionRow& row : c_.rows) probe.slots[row.slot].fs = row.type->currentIndex() + 1;
  package::DetectInputFileSystems(&probe);
  for (PartitionRow& row : c_.rows) row.type->setCurrentIndex(TypeIndex(probe.slots[row.slot].fs));
  // A rework keeps the file system each partition had.
  SetTypeListsEnabled(false, true);
}

void CFirmsmithDlg::OnOriginalBrowse() {
  const std::optional<std::string> path =
      sink_ ? sink_->ChooseFile(uitext::GetString("OriginalFile"), kOriginalFileFilter,
                                c_.originalFile->text().toStdString())
            : std::nullopt;
  if (!path) return;
  const QString text = QString::fromStdString(*path);
  closeUpgradePreset_ = false;  // a newly loaded file gets its own preset
  if (c_.originalFile->text() != text) {
    c_.originalFile->setText(text);  // runs the path rule, which examines the file
  } else {
    OnOriginalFileChanged();
  }
  originalFileLoaded_ = true;
}

void CFirmsmithDlg::OnOriginalFileChanged() {
  const bool empty = c_.originalFile->text().trimmed().isEmpty();
  QLineEdit* userPath = c_.rows[kRowUser].path;
  const bool userChecked = c_.rows[kRowUser].check->isChecked();
  if (empty) {
    originalFileLoaded_ = false;
    closeUpgradePreset_ = false;
    SetTypeListsEnabled(true, false);
    if (userChecked) userPath->setEnabled(true);
  } else {
    originalFileLoaded_ = true;
    SetTypeListsEnabled(false, false);
    if (c_.lineInGain->isChecked() && userChecked) {
      userPath->clear();
      userPath->setEnabled(false);
    } else {
      userPath->setEnabled(true);
    }
    ExamineOriginalFile();
  }
  if (c_.rows[kRowCustom].check->isChecked()) OnCustomCheck();
  ApplyRestoreDefaultsRule(false);
  ApplyUbootLogoRule(false);
  ApplyRomfs2Rule(false);
  ApplyParamRule(false);
  UpdateFlashLayout();
}

void CFirmsmithDlg::OnPackageTypeChanged() {
  if (!c_.originalFile->text().isEmpty()) ExamineOriginalFile();
}

// --- partition rows ---

void CFirmsmithDlg::OnPartitionCheck(int row) {
  PartitionRow& r = c_.rows[row];
  if (row == kRowUser) {
    OnUserCheck();
  } else if (row == kRowCustom) {
    OnCustomCheck();
  } else if (r.check->isChecked()) {
    SetSlot(r.slot, true);
    r.browse->setEnabled(true);
  } else {
    ClearSlot(r.slot);
    r.path->clear();
    r.browse->setEnabled(false);
  }
  UpdateFlashLayout();
}

void CFirmsmithDlg::OnUserCheck() {
  PartitionRow& r = c_.rows[kRowUser];
  if (r.check->isChecked()) {
    SetSlot(r.slot, true);
    r.browse->setEnabled(true);
  } else {
    ClearSlot(r.slot);
    r.path->clear();
    r.browse->setEnabled(false);
    SetEnabled({c_.lineInGain, c_.lineInLeft, c_.lineInRight}, false);
  }
}

void CFirmsmithDlg::OnLineInGain() {
  // A gain change on a loaded package patches the user partition in place,
  // so no folder may be given then.
  QLineEdit* userPath = c_.rows[kRowUser].path;
  if (c_.lineInGain->isChecked() && originalFileLoaded_) {
    userPath->clear();
    userPath->setEnabled(false);
  } else {
    userPath->setEnabled(true);
  }
}

void CFirmsmithDlg::OnPartitionBrowse(int row) {
  PartitionRow& r = c_.rows[row];
  OnOptionBrowse(r.slot, r.path);
}

void CFirmsmithDlg::OnOptionBrowse(int slot, QLineEdit* path) {
  if (!SlotSet(slot) || sink_ == nullptr) return;
  const std::optional<std::string> folder =
      sink_->ChooseFolder(uitext::GetString("Select a folder"), path->text().toStdString());
  path->setText(folder ? QString::fromStdString(*folder) : QString());
}

void CFirmsmithDlg::OnUbootLogoBrowse() {
  if (!SlotSet(package::kSlotUbootLogo) || sink_ == nullptr) return;
  const std::optional<std::string> file =
      sink_->ChooseFile(uitext::GetString("uboot logo制作"), kLogoFileFilter,
                        c_.ubootLogo.path->text().toStdString());
  if (file) c_.ubootLogo.path->setText(QString::fromStdString(*file));
}

// --- boxes that work on a loaded package in place ---

void CFirmsmithDlg::ApplyInPlaceRule(QCheckBox* box, OptionRow* row, int slot, bool pathEditable,
                                     const products::PartitionSpec& spec, bool needStart,
                                     bool clicked) {
  const bool allowed = ProductSelected() && originalFileLoaded_ && spec.end != 0 &&
                       (!needStart || spec.start != 0);
  const bool wasChecked = box->isChecked();
  box->setEnabled(allowed);
  if (!allowed) box->setChecked(false);
  if (slot == package::kSlotMtd || slot == package::kSlotUbootLogo) {
    RefreshSharedSlot(slot);
  } else if (box->isChecked()) {
    SetSlot(slot, true);
  } else if (clicked || wasChecked) {
    ClearSlot(slot);
  }
  if (box->isChecked()) {
    if (row) {
      row->path->setEnabled(pathEditable);
      row->browse->setEnabled(true);
    }
    return;
  }
  if (row) {
    row->path->clear();
    row->path->setEnabled(false);
    row->browse->setEnabled(false);
  }
}

// Slots 6 and 7 stand for two boxes each: the customisation mark (Pictures,
// Configs) and the partition (mtd-x, boot-loader logo). A slot stays set
// while either box is ticked; the image name only while the partition's is.
void CFirmsmithDlg::RefreshSharedSlot(int slot) {
  const bool mtd = slot == package::kSlotMtd;
  const QCheckBox* mark = mtd ? c_.pictures.check : c_.configs.check;
  const QCheckBox* partition = mtd ? c_.restoreDefaults : c_.ubootLogo.check;
  if (partition->isChecked()) {
    SetSlot(slot, true);
  } else if (mark->isChecked()) {
    SetSlot(slot, false);
    slots_[slot].imageName.clear();
  } else {
    ClearSlot(slot);
  }
}

void CFirmsmithDlg::ApplyRestoreDefaultsRule(bool clicked) {
  ApplyInPlaceRule(c_.restoreDefaults, nullptr, package::kSlotMtd, false, selectedProduct_.mtd,
                   true, clicked);
}

void CFirmsmithDlg::ApplyUbootLogoRule(bool clicked) {
  // The logo path is filled by the file chooser only.
  ApplyInPlaceRule(c_.ubootLogo.check, &c_.ubootLogo, package::kSlotUbootLogo, false,
                   selectedProduct_.ubootLogo, false, clicked);
}

void CFirmsmithDlg::ApplyRomfs2Rule(bool clicked) {
  ApplyInPlaceRule(c_.romfs2.check, &c_.romfs2, package::kSlotRomfs2, true,
                   selectedProduct_.romfs2, false, clicked);
}

void CFirmsmithDlg::ApplyParamRule(bool clicked) {
  ApplyInPlaceRule(c_.param.check, &c_.param, package::kSlotParam, true, selectedProduct_.param,
                   false, clicked);
}

// --- the custom partition and its customisations ---

void CFirmsmithDlg::SetDeviceFieldsEnabled(bool enabled) {
  for (QLabel* label : c_.deviceLabels) label->setEnabled(enabled);
  SetEnabled({c_.configs.browse, c_.deviceIp, c_.devicePort, c_.userName, c_.password,
              c_.copyUsers},
             enabled);
}

void CFirmsmithDlg::OnCustomCheck() {
  PartitionRow& custom = c_.rows[kRowCustom];
  if (!custom.check->isChecked()) {
    ClearSlot(custom.slot);
    custom.path->clear();
    // Marks the operator can no longer reach must not stay behind: they
    // would block "Ok" or customise a partition that is not rebuilt.
    ClearCustomisationMarks();
    SetEnabled({custom.browse, c_.line, c_.configs.check, c_.strings.check, c_.pictures.check,
                c_.configs.path, c_.strings.path, c_.pictures.path, c_.configs.browse,
                c_.strings.browse, c_.pictures.browse, c_.appDownloadLink, c_.cloudServer,
                c_.closeOnlineUpgrade},
               false);
    SetDeviceFieldsEnabled(false);
    OnCloudServer();
    OnAppDownloadLink();
    OnDeviceModel();
    return;
  }

  SetSlot(custom.slot, true);
  SetEnabled({custom.browse, c_.appDownloadLink, c_.cloudServer, c_.deviceModel,
              c_.closeOnlineUpgrade},
             true);
  if (originalFileLoaded_) {
    PresetCloseOnlineUpgrade();
    SetEnabled({c_.configs.check, c_.strings.check, c_.line}, true);
    SetEnabled({c_.strings.path, c_.strings.browse}, c_.strings.check->isChecked());
    SetEnabled({c_.pictures.path, c_.pictures.browse}, c_.pictures.check->isChecked());
    SetEnabled({c_.rows[kRowApp].path, c_.rows[kRowApp].browse},
               c_.rows[kRowApp].check->isChecked());
    OnPartitionCheck(kRowApp);
    c_.configs.path->setEnabled(c_.configs.check->isChecked());
    SetDeviceFieldsEnabled(c_.configs.check->isChecked());
  } else {
    c_.configs.check->setChecked(false);
    c_.strings.check->setChecked(false);
    OnConfigsCheck();
    OnStringsCheck();
    SetEnabled({c_.configs.check, c_.strings.check, c_.pictures.check}, false);
    for (QCheckBox* box : {c_.appDownloadLink, c_.cloudServer, c_.closeOnlineUpgrade}) {
      box->setChecked(false);
      box->setEnabled(false);
    }
    SetEnabled({c_.deviceModel, c_.line}, false);
    UpdateCustomFolderVisibility(c_.appDownloadLink);
    UpdateCustomFolderVisibility(c_.cloudServer);
  }
  OnCloudServer();
  OnAppDownloadLink();
  OnDeviceModel();
}

void CFirmsmithDlg::ClearCustomisationMarks() {
  for (QCheckBox* box : {c_.strings.check, c_.pictures.check, c_.configs.check,
                         c_.appDownloadLink, c_.ios, c_.android, c_.other, c_.sn,
                         c_.cloudServer, c_.deviceModel, c_.closeOnlineUpgrade})
    box->setChecked(false);
  OnStringsCheck();
  OnPicturesCheck();
  OnConfigsCheck();
}

void CFirmsmithDlg::PresetCloseOnlineUpgrade() {
  // Devices that cannot reach the maker's service network get their online
  // upgrade switched off by default; without a probe address nothing is known.
  if (closeUpgradePreset_ || closeUpgradeClicked_ || probeAddress_.empty()) return;
  closeUpgradePreset_ = true;
  const bool answered = environment_.probe ? environment_.probe(probeAddress_, kProbeTimeoutMs)
                                           : PingHost(probeAddress_, kProbeTimeoutMs);
  c_.closeOnlineUpgrade->setChecked(!answered);
}

// Which boxes keep the custom folder hidden when a box is unticked.
void CFirmsmithDlg::UpdateCustomFolderVisibility(QCheckBox* changed) {
  PartitionRow& custom = c_.rows[kRowCustom];
  if (changed->isChecked()) {
    // A customised partition is rebuilt from the package, not from a folder.
    custom.path->clear();
    custom.path->setVisible(false);
    custom.browse->setVisible(false);
    return;
  }
  std::vector<QCheckBox*> keepers;
  if (changed == c_.strings.check) {
    keepers = {c_.pictures.check, c_.configs.check, c_.appDownloadLink};
  } else if (changed == c_.pictures.check) {
    keepers = {c_.strings.check, c_.configs.check};
  } else if (changed == c_.configs.check) {
    keepers = {c_.pictures.check, c_.strings.check, c_.appDownloadLink};
  } else {  // AppDownloadLink, CloudServer, DeviceModel
    keepers = {c_.pictures.check, c_.configs.check, c_.strings.check};
  }
  for (const QCheckBox* box : keepers)
    if (box->isChecked()) return;
  custom.path->setVisible(true);
  custom.browse->setVisible(true);
}

// Strings and Pictures: a mark in their slot and a folder of their own
// (Strings also opens the language tool).
void CFirmsmithDlg::OnFolderOptionCheck(OptionRow* row, int slot, QWidget* alsoEnabled) {
  const bool on = row->check->isChecked();
  if (on) {
    SetSlot(slot, false);
  } else {
    ClearSlot(slot);
    row->path->clear();
  }
  SetEnabled({row->path, row->browse}, on);
  if (alsoEnabled) alsoEnabled->setEnabled(on);
  UpdateCustomFolderVisibility(row->check);
}

void CFirmsmithDlg::OnStringsCheck() {
  OnFolderOptionCheck(&c_.strings, package::kSlotStrings, c_.advance);
}

void CFirmsmithDlg::OnPicturesCheck() {
  OnFolderOptionCheck(&c_.pictures, package::kSlotMtd, nullptr);
  RefreshSharedSlot(package::kSlotMtd);  // mtd-x keeps the slot while ticked
}

void CFirmsmithDlg::OnConfigsCheck() {
  const bool on = c_.configs.check->isChecked();
  RefreshSharedSlot(package::kSlotUbootLogo);  // the boot logo keeps it while ticked
  if (on) {
    SetEnabled({c_.configs.path, c_.configs.browse}, true);
    SetDeviceFieldsEnabled(c_.fromDevice->isChecked());
  } else {
    c_.configs.path->clear();
    SetEnabled({c_.configs.path, c_.configs.browse, c_.fromDevice}, false);
    SetDeviceFieldsEnabled(false);
  }
  UpdateCustomFolderVisibility(c_.configs.check);
}

void CFirmsmithDlg::OnFromDevice() {
  // Checked layout: the device group instead of the configuration folder.
  const bool fromDevice = c_.fromDevice->isChecked();
  c_.configs.path->setVisible(!fromDevice);
  c_.configs.browse->setVisible(!fromDevice);
  for (QLabel* label : c_.deviceLabels) label->setVisible(fromDevice);
  for (QWidget* w : std::initializer_list<QWidget*>{c_.deviceIp, c_.devicePort, c_.userName,
                                                     c_.password, c_.copyUsers})
    w->setVisible(fromDevice);
}

void CFirmsmithDlg::OnAppDownloadLink() {
  const bool on = Active(c_.appDownloadLink);
  SetEnabled({c_.ios, c_.android, c_.other, c_.sn}, on);
  OnIos();
  OnAndroid();
  OnOther();
  UpdateCustomFolderVisibility(c_.appDownloadLink);
}

void CFirmsmithDlg::OnIos() { c_.iosLink->setEnabled(Active(c_.ios)); }

void CFirmsmithDlg::OnAndroid() { c_.androidLink->setEnabled(Active(c_.android)); }

void CFirmsmithDlg::OnOther() {
  SetEnabled({c_.otherNameLabel, c_.otherName, c_.otherContentLabel, c_.otherContent},
             Active(c_.other));
}

void CFirmsmithDlg::OnCloudServer() {
  SetEnabled({c_.cloudAddressLabel, c_.cloudAddress, c_.cloudPortLabel, c_.cloudPort},
             Active(c_.cloudServer));
  UpdateCustomFolderVisibility(c_.cloudServer);
}

void CFirmsmithDlg::OnDeviceModel() {
  c_.deviceModelText->setEnabled(Active(c_.deviceModel));
  UpdateCustomFolderVisibility(c_.deviceModel);
}

// --- port fields and gain lists ---

void CFirmsmithDlg::OnPortEdited(QLineEdit* port) {
  const std::string text = port->text().trimmed().toStdString();
  if (text.empty()) return;
  // Leading digits with an optional sign, as the field's integer reading
  // takes them; no digits reads as 0.
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value < 1) {
    port->setText(QStringLiteral("1"));
  } else if (value > 65535) {
    port->setText(QStringLiteral("65535"));
  }
}

void CFirmsmithDlg::FillGainLists() {
  const platform::Profile settings = platform::Profile::Load(programDirectory_ + "Config.ini");
  const std::string defaultLabel = settings.Get("register", "defaultLineInGain", "0db");
  for (const char* label : package::kGainLabels) {
    const int code =
        package::GainCodeFromDigits(settings.Get("register", label, package::kDefaultGainCode));
    for (QComboBox* list : {c_.lineInLeft, c_.lineInRight}) {
      list->addItem(QString::fromLatin1(label), code);
      if (defaultLabel == label) list->setCurrentIndex(list->count() - 1);
    }
  }
}

// --- strings folder and the language tool ---

void CFirmsmithDlg::OnStringsBrowse() {
  if (!SlotSet(package::kSlotStrings) || sink_ == nullptr) return;
  const std::optional<std::string> folder = sink_->ChooseFolder(
      uitext::GetString("Select a folder"), c_.strings.path->text().toStdString());
  const std::string path = folder.value_or("");
  c_.strings.path->setText(QString::fromStdString(path));
  fullLanguageStrings_ = false;
  koreanFonts_ = 0;

  if (path.find("FullLanguage") != std::string::npos) {
    fullLanguageStrings_ = true;
    // A folder of this window's own, not the shared "TempStrings": another
    // run or window must neither see nor empty what is staged here.
    stringsStaging_ = std::make_unique<platform::TempFolder>();
    if (platform::Status made = stringsStaging_->Create(programDirectory_, package::kStringsStagingPrefix); !made) {
      stringsStaging_.reset();
      fullLanguageStrings_ = false;
      sink_->ShowFailure(uitext::GetString("create_error"), "Firmsmith", made.message);
      return;
    }
    CLanguageSelectDlg select(path, programDirectory_, sink_, this);
    select.setStagingFolder(stringsStaging_->path());
    if (select.exec() == QDialog::Accepted) {
      koreanFonts_ = select.koreanChoice();
    } else {
      fullLanguageStrings_ = false;
    }
  }
  platform::WriteProfileString(programDirectory_ + "Config.ini", "Path", "StringPath", path);
  platform::WriteProfileString(programDirectory_ + kLanguageToolFolder + "Config.ini", "Path",
                               "StringPath", path);
}

void CFirmsmithDlg::OnAdvance() {
  stringsPath_ = c_.strings.path->text().toStdString();
  const std::string ownSettings = programDirectory_ + "Config.ini";
  const std::string toolFolder = programDirectory_ + kLanguageToolFolder;
  platform::WriteProfileString(ownSettings, "Path", "StringPath", stringsPath_);
  std::string solution =
      platform::ReadProfileString(ownSettings, "themes", "Solution", "English", kSolutionBuffer);
  if (solution.empty()) solution = "English";
  // The language tool reads the strings folder and the operator's UI language from its own file.
  platform::WriteProfileString(toolFolder + "Config.ini", "Path", "StringPath", stringsPath_);
  platform::WriteProfileString(toolFolder + "Config.ini", "themes", "Solution", solution);
  platform::DebugOutput("advance\n");

  if (stringsPath_.empty() || !platform::FileExists(stringsPath_)) {
    ShowMessageKey("The path is error !", "Prompt");
    return;
  }
  platform::DebugOutput("do Transloom.exe \n");
  std::string error;
  if (!platform::StartProgram(toolFolder + kLanguageTool, {}, toolFolder, &error))
    platform::DebugOutput("starting %s%s failed: %s\n", toolFolder.c_str(), kLanguageTool,
                          error.c_str());
}

}  // namespace shell
