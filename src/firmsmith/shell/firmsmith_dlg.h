// The main dialog of Firmsmith: the operator picks a product, names the
// upgrade file to start from, chooses which partitions to replace and which
// customisations to apply, and starts the build. The dialog keeps the
// control states and their rules and the twelve partition slots; "Ok" turns
// them into a package::MakeOptions record and hands it to the make
// operation, which runs on a thread of its own while the window stays
// locked, shows its steps in a progress panel and keeps repainting; the
// run's message boxes follow once it ends. It also keeps the tool settings
// in Config.ini and starts the language tool.
//
// Layout and control creation live in firmsmith_dlg_layout.cpp, the rules of
// the check boxes and fields in firmsmith_dlg_rules.cpp.
#pragma once

#include <QDialog>
#include <QIcon>

#include <array>
#include <cstdint>
#include <map>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/platform/file_ops.h"
#include "common/platform/message_sink.h"
#include "firmsmith/package/make/make_options.h"
#include "firmsmith/package/make/make_operation.h"
#include "firmsmith/package/make/make_progress.h"
#include "firmsmith/products/product_profile.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace shell {
class FlashLayoutBar;
}

namespace package {
class PartitionCustomiser;
}

namespace widgets {
class QtMessageSink;
}

// The address control declares its signal with the "signals" keyword, which
// this library switches off (QT_NO_KEYWORDS: the option record has a member
// named "slots").
#define signals Q_SIGNALS
#include "common/widgets/ip_address_edit.h"
#undef signals

namespace shell {

// What the dialog needs from its surroundings. Tests replace the sink (which
// answers every box and chooser), the program folder and the pauses.
struct DialogEnvironment {
  std::string programDirectory;            // ends with "/"; empty: the executable's folder
  platform::MessageSink* sink = nullptr;   // nullptr: Qt boxes and choosers over the dialog
  // Scales the make operation's fixed pauses; empty: as Config.ini's tool
  // setting says (off unless restored).
  std::optional<double> pauseScale;
  std::function<void(double seconds)> sleep;  // waits out a pause; empty: sleeps
  const package::PartitionCustomiser* customiser = nullptr;  // nullptr: the default one
  bool installCrashHandler = true;
  // Whether the host answers within the time-out; empty: an ICMP echo (PingHost).
  std::function<bool(const std::string& host, int timeoutMs)> probe;
};

class CFirmsmithDlg : public QDialog {
  Q_OBJECT

 public:
  // One partition row: include box, source folder, Browse, file-system list.
  struct PartitionRow {
    int slot = 0;
    QCheckBox* check = nullptr;
    QLineEdit* path = nullptr;
    QPushButton* browse = nullptr;
    QComboBox* type = nullptr;
    QWidget* container = nullptr;  // the whole row, for the hidden ones
  };
  enum RowIndex { kRowWeb, kRowLogo, kRowUser, kRowRomfs, kRowCustom, kRowApp, kRowYlk, kRowCount };

  // A check box with a path edit and a Browse button (Strings, Pictures,
  // Configs, boot-loader logo, romfs2-x, param-x).
  struct OptionRow {
    QCheckBox* check = nullptr;
    QLineEdit* path = nullptr;
    QPushButton* browse = nullptr;
  };

  // Every control, for the rules, the tests and the screenshots.
  struct Controls {
    QTreeWidget* productTree = nullptr;  // 1005
    QLineEdit* productFilter = nullptr;  // 1300
    QComboBox* packageType = nullptr;    // 1044
    QLineEdit* originalFile = nullptr;   // 1026
    QPushButton* originalBrowse = nullptr;  // 1029
    std::array<PartitionRow, kRowCount> rows;
    OptionRow strings;    // 1230 / 1234 / 1045
    QPushButton* advance = nullptr;  // 1272
    OptionRow pictures;   // 1231 / 1235 / 1046
    OptionRow configs;    // 1229 / 1236 / 1047
    QFrame* line = nullptr;          // 1237
    QCheckBox* fromDevice = nullptr;  // 1238
    std::array<QLabel*, 4> deviceLabels{};  // 1240 IP, 1242 Port, 1244 UserName, 1245 Password
    IpAddressEdit* deviceIp = nullptr;  // 1239
    QLineEdit* devicePort = nullptr;  // 1241
    QLineEdit* userName = nullptr;    // 1243
    QLineEdit* password = nullptr;    // 1246
    QCheckBox* copyUsers = nullptr;   // 1265
    QCheckBox* appDownloadLink = nullptr;  // 1255
    QCheckBox* ios = nullptr;         // 1256
    QLineEdit* iosLink = nullptr;     // 1139
    QCheckBox* android = nullptr;     // 1257
    QLineEdit* androidLink = nullptr;  // 1258
    QCheckBox* other = nullptr;       // 1264
    QLabel* otherNameLabel = nullptr;     // 1273
    QLineEdit* otherName = nullptr;       // 1280
    QLabel* otherContentLabel = nullptr;  // 1274
    QLineEdit* otherContent = nullptr;    // 1275
    QCheckBox* sn = nullptr;          // 1276
    QCheckBox* cloudServer = nullptr;  // 1266
    QLabel* cloudAddressLabel = nullptr;
    QLineEdit* cloudAddress = nullptr;  // 1267
    QLabel* cloudPortLabel = nullptr;
    QLineEdit* cloudPort = nullptr;     // 1268
    QCheckBox* deviceModel = nullptr;  // 1277
    QLineEdit* deviceModelText = nullptr;  // 1279
    QCheckBox* closeOnlineUpgrade = nullptr;  // 1282
    QCheckBox* lineInGain = nullptr;  // 1269
    QComboBox* lineInLeft = nullptr;   // 1270
    QComboBox* lineInRight = nullptr;  // 1271
    QCheckBox* restoreDefaults = nullptr;  // 1024
    QCheckBox* unmountPartitions = nullptr;  // 1299 (hidden)
    OptionRow ubootLogo;  // 1290 / 1287 / 1288
    QComboBox* ubootLogoType = nullptr;  // 1289 (hidden)
    OptionRow romfs2;     // 1284 / 1292 / 1294
    OptionRow param;      // 1291 / 1293 / 1295
    QCheckBox* oemDevType = nullptr;     // 1285 (hidden)
    QLineEdit* oemDevTypeText = nullptr;  // 1286 (hidden)
    QLabel* macLabel = nullptr;   // 1261 (hidden)
    QLineEdit* mac = nullptr;     // 1260 (hidden)
    FlashLayoutBar* layoutBar = nullptr;  // the chosen product's chip, beside the partitions
    // Shown while a build runs: its current step and a bar (a moving one
    // while the step carries no byte count).
    QWidget* progressPanel = nullptr;
    QLabel* progressText = nullptr;
    QProgressBar* progressBar = nullptr;
    QPushButton* about = nullptr;
    QPushButton* ok = nullptr;      // 1
    QPushButton* cancel = nullptr;  // 2
  };

  explicit CFirmsmithDlg(const DialogEnvironment& environment = {}, QWidget* parent = nullptr);
  ~CFirmsmithDlg() override;

  // The initialisation, once; exec() runs it first.
  void OnInitDialog();
  int exec() override;

  const Controls& controls() const { return c_; }

  // The option model as "Ok" hands it to the make operation.
  package::MakeOptions CollectOptions() const;

  // Dialog state.
  const package::PartitionSlot& slot(int index) const { return slots_.at(index); }
  const products::ProductProfile& selectedProduct() const { return selectedProduct_; }
  const products::ProductList& productList() const { return productList_; }
  bool originalFileLoaded() const { return originalFileLoaded_; }
  bool fullLanguageStrings() const { return fullLanguageStrings_; }
  // Where the language selection staged its files ("" before one ran).
  std::string stagedStringsFolder() const { return stringsStaging_ ? stringsStaging_->path() : std::string(); }
  int koreanFonts() const { return koreanFonts_; }
  const std::string& stringsPath() const { return stringsPath_; }
  const std::string& productFilter() const { return productFilter_; }
  const std::string& programDirectory() const { return programDirectory_; }
  // The tree item of a product list index, or nullptr when filtered out.
  QTreeWidgetItem* productItem(int listIndex) const;
  static bool IsItemTicked(const QTreeWidgetItem* item);

  // Events (public so that the about box and the build can be started from
  // outside, e.g. by the screenshot tool). OnOk returns once the build has
  // ended and its boxes were shown; the window's events go on meanwhile.
  void OnOk();
  void OnAbout();
  bool building() const { return building_; }

  // The window refuses to close while a build runs.
  void reject() override;

 Q_SIGNALS:
  // A step of the running build, as the progress panel shows it.
  void buildStepShown(const QString& line);
  // The build has ended and its boxes were shown.
  void buildFinished(package::MakeOutcome outcome);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // --- layout (firmsmith_dlg_layout.cpp) ---
  void CreateControls();
  void ConnectEvents();
  QGroupBox* CreateProductGroup();
  QGroupBox* CreateInputGroup();
  QGroupBox* CreatePartitionGroup();
  QGroupBox* CreateCustomisationGroup();
  QGroupBox* CreateDeviceGroup();
  void MakeCheckIcons();

  // --- events and rules (firmsmith_dlg_rules.cpp) ---
  void FillProductTree();
  void SetItemTicked(QTreeWidgetItem* item, bool ticked);
  void OnProductFilterChanged(const QString& text);
  void OnProductClicked(QTreeWidgetItem* item);
  void OnOriginalBrowse();
  void OnOriginalFileChanged();
  void OnPackageTypeChanged();
  void ExamineOriginalFile();
  void SetTypeListsFromProduct();
  void SetTypeListsEnabled(bool enabled, bool allSeven);

  void OnPartitionCheck(int row);
  void OnPartitionBrowse(int row);
  void OnUserCheck();
  void OnLineInGain();
  void OnCustomCheck();
  void OnFolderOptionCheck(OptionRow* row, int slot, QWidget* alsoEnabled);
  void OnStringsCheck();
  void OnPicturesCheck();
  void OnConfigsCheck();
  void OnAppDownloadLink();
  void OnCloudServer();
  void OnDeviceModel();
  void OnIos();
  void OnAndroid();
  void OnOther();
  void OnFromDevice();
  void ClearCustomisationMarks();
  void PresetCloseOnlineUpgrade();
  void RefreshSharedSlot(int slot);
  void UpdateCustomFolderVisibility(QCheckBox* changed);
  void ApplyInPlaceRule(QCheckBox* box, OptionRow* row, int slot, bool pathEditable,
                        const products::PartitionSpec& spec, bool needStart, bool clicked);
  void ApplyRestoreDefaultsRule(bool clicked);
  void ApplyUbootLogoRule(bool clicked);
  void ApplyRomfs2Rule(bool clicked);
  void ApplyParamRule(bool clicked);
  void SetDeviceFieldsEnabled(bool enabled);
  void OnOptionBrowse(int slot, QLineEdit* path);
  void OnUbootLogoBrowse();
  void OnStringsBrowse();
  void OnAdvance();
  void OnPortEdited(QLineEdit* port);
  void FillGainLists();
  void UpdateFlashLayout();  // firmsmith_dlg_fill.cpp

  // --- the build off the UI thread ---
  // Locks every control but the progress panel (each keeps its own state
  // for when the build ends) and shows the panel; false undoes both.
  void SetBuilding(bool building);
  void ShowStep(const package::MakeProgress& step);

  void SetSlot(int index, bool withName);
  void ClearSlot(int index);
  bool SlotSet(int index) const;
  bool ProductSelected() const { return !selectedProduct_.name.empty(); }
  void ShowMessageKey(const std::string& textKey, const std::string& captionKey);

  DialogEnvironment environment_;
  std::string programDirectory_;
  std::unique_ptr<widgets::QtMessageSink> ownSink_;
  platform::MessageSink* sink_ = nullptr;
  bool initialised_ = false;
  bool devlinkStarted_ = false;
  bool building_ = false;
  std::vector<QWidget*> lockedWhileBuilding_;

  Controls c_;
  QIcon uncheckedIcon_;
  QIcon checkedIcon_;

  std::array<package::PartitionSlot, package::kSlotCount> slots_{};
  products::ProductList productList_;
  // Per list entry: the file name and why it cannot be used as written
  // (empty: fine); such products are listed by file name with a warning.
  std::vector<std::string> productFileNames_;
  std::vector<std::string> productProblems_;
  products::ProductProfile selectedProduct_;
  int selectedIndex_ = -1;  // list index of the ticked product, -1: none
  bool originalFileLoaded_ = false;
  bool fullLanguageStrings_ = false;
  // The languages ticked in the language selection, staged for this window alone.
  std::unique_ptr<platform::TempFolder> stringsStaging_;
  int koreanFonts_ = 0;
  std::string stringsPath_;
  std::string productFilter_;
  std::string probeAddress_;  // the reachability probe of the custom-x rule
  // "Close online upgrade" is preset once per loaded original file and never
  // after the operator clicked it.
  bool closeUpgradePreset_ = false;
  bool closeUpgradeClicked_ = false;
  // Image sizes of the original file by section, for the layout bar, and the
  // file and product they were read for.
  std::string inspectedKey_;
  std::map<std::string, std::uint64_t> originalFills_;
};

}  // namespace shell
