#include "firmsmith/shell/language_select_dlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/platform/debuglog.h"
#include "common/platform/files.h"
#include "common/platform/profile.h"
#include "common/uitext/language_table.h"
#include "common/uitext/translate_window.h"
#include "common/platform/file_ops.h"

namespace shell {
namespace {

constexpr char kEnglish[] = "English";
constexpr char kKorean[] = "Korean";
constexpr char kStagingFolder[] = "TempStrings";
constexpr std::size_t kDisplayNameBuffer = 64;

QString Text(const std::string& key) { return QString::fromStdString(uitext::GetString(key)); }

// Device language files carry no extension; anything with a dot is another
// kind of file (a workbook, a backup) that must not reach the device.
bool IsLanguageFile(const platform::FolderEntry& entry) {
  return !entry.isDirectory && entry.name.find('.') == std::string::npos;
}

}  // namespace

CLanguageSelectDlg::CLanguageSelectDlg(const std::string& folderPath,
                                       const std::string& programDirectory,
                                       platform::MessageSink* sink, QWidget* parent)
    : QDialog(parent), folder_(folderPath), programDirectory_(programDirectory), sink_(sink) {
  setObjectName(QStringLiteral("CLanguageSelectDlg"));
  setWindowTitle(QStringLiteral("Select Language"));

  list_ = new QTreeWidget(this);
  list_->setObjectName(QStringLiteral("languageList"));
  list_->setRootIsDecorated(false);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setAllColumnsShowFocus(true);
  list_->setUniformRowHeights(true);

  selectAll_ = new QCheckBox(QStringLiteral("SelectAll"), this);
  selectAll_->setObjectName(QStringLiteral("selectAll"));
  korean_ = new QCheckBox(QStringLiteral("Korean"), this);
  korean_->setObjectName(QStringLiteral("korean"));
  ok_ = new QPushButton(QStringLiteral("OK"), this);
  ok_->setObjectName(QStringLiteral("ok"));
  ok_->setDefault(true);

  auto* boxes = new QHBoxLayout;
  boxes->addWidget(selectAll_);
  boxes->addWidget(korean_);
  boxes->addStretch(1);
  boxes->addWidget(ok_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_, 1);
  layout->addLayout(boxes);
  resize(520, 380);

  connect(selectAll_, &QCheckBox::clicked, this, &CLanguageSelectDlg::OnSelectAll);
  connect(ok_, &QPushButton::clicked, this, &CLanguageSelectDlg::accept);
}

std::string CLanguageSelectDlg::NormaliseFolder(const std::string& path) {
  std::string folder = path;
  for (char& c : folder)
    if (c == '\\') c = '/';
  if (folder.find("FullLanguage/Strings") == std::string::npos)
    folder = platform::JoinPath(folder, "Strings");
  return folder;
}

bool CLanguageSelectDlg::OnInitDialog() {
  if (initialised_) return initOk_;
  initialised_ = true;

  uitext::TranslateWindow(this, *uitext::CInitLanguage::GetInstance());
  list_->setHeaderLabels({Text("No"), Text("Language"), Text("LanguageName")});
  list_->header()->resizeSection(kColumnNumber, 80);
  list_->header()->resizeSection(kColumnLanguage, 200);
  list_->header()->resizeSection(kColumnDisplayName, 200);
  list_->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  selectAll_->setChecked(true);
  korean_->setChecked(false);
  korean_->setVisible(false);

  folder_ = NormaliseFolder(folder_);
  const platform::Profile settings =
      platform::Profile::Load(programDirectory_ + "Config.ini");
  bool haveEnglish = false;
  std::vector<platform::FolderEntry> entries;
  // A strings folder that cannot be read offers no language; the build's
  // own copy step reports the folder with its reason.
  if (!platform::ListFolder(folder_, &entries))
    platform::DebugOutput("strings folder %s cannot be listed\n", folder_.c_str());
  for (const platform::FolderEntry& entry : entries) {
    if (!IsLanguageFile(entry)) continue;
    if (entry.name == kKorean) {
      korean_->setVisible(true);
    } else if (entry.name == kEnglish) {
      haveEnglish = true;
    } else {
      auto* row = new QTreeWidgetItem(list_);
      row->setText(kColumnNumber, QString::number(list_->topLevelItemCount()));
      row->setText(kColumnLanguage, QString::fromStdString(entry.name));
      row->setText(kColumnDisplayName,
                   QString::fromStdString(
                       settings.Get("LanguageList", entry.name, "", kDisplayNameBuffer)));
      row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
      row->setCheckState(kColumnNumber, Qt::Checked);
    }
  }
  if (!haveEnglish) {
    // Every package needs the English reference; without it there is nothing to stage.
    if (sink_) sink_->ShowMessage("NotExitEnglish!", "Firmsmith", platform::MessageButtons::Ok);
    initOk_ = false;
    return false;
  }
  initOk_ = true;
  return true;
}

int CLanguageSelectDlg::exec() {
  if (!OnInitDialog()) {
    setResult(QDialog::Rejected);
    return QDialog::Rejected;
  }
  return QDialog::exec();
}

void CLanguageSelectDlg::OnSelectAll(bool checked) {
  const Qt::CheckState state = checked ? Qt::Checked : Qt::Unchecked;
  for (int i = 0; i < list_->topLevelItemCount(); ++i)
    list_->topLevelItem(i)->setCheckState(kColumnNumber, state);
}

void CLanguageSelectDlg::accept() {
  const std::string staging = stagingFolder_.empty() ? programDirectory_ + kStagingFolder : stagingFolder_;
  // A language that cannot be staged would silently be missing from the
  // device: the first failure is told and the choice is not taken.
  platform::Status staged;
  const auto stage = [&](const std::string& name) {
    if (staged)
      staged = platform::CopyFileReplacing(platform::JoinPath(folder_, name), platform::JoinPath(staging, name));
  };
  koreanChoice_ = 0;
  stage(kEnglish);
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* row = list_->topLevelItem(i);
    if (row->checkState(kColumnNumber) == Qt::Checked)
      stage(row->text(kColumnLanguage).toStdString());
  }
  if (korean_->isChecked()) {
    koreanChoice_ = 1;
    stage(kKorean);
  }
  if (!staged) {
    if (sink_) sink_->ShowFailure(uitext::GetString("create_error"), "Firmsmith", staged.message);
    QDialog::reject();
    return;
  }
  QDialog::accept();
}

}  // namespace shell
