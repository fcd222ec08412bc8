// Takes the screenshots of the Firmsmith dialogs for the documentation:
//   xvfb-run -a -s "-screen 0 1366x768x24" build/tests/firmsmith/shell/firmsmith_screenshots build/app docs
// writes docs/firmsmith-main-dialog.png and docs/firmsmith-language-select.png
// in English and the same two with "-zh" in SimpChinese, and
// docs/firmsmith-flash-layout.png with folders chosen for two partitions.
// The main dialog shows the sample installation with a product ticked, an
// original file named and custom-x customised with Strings; the language
// selection lists a strings folder laid out from the sample language names.
// Works on a copy of the program folder, so nothing of the installation is
// touched and the probe goes to loopback only.
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPixmap>
#include <QTest>
#include <QTreeWidget>

#include <cstdio>
#include <filesystem>
#include <string>

#include "common/platform/files.h"
#include "common/platform/profile.h"
#include "common/uitext/language_table.h"
#include "firmsmith/shell/firmsmith_dlg.h"
#include "firmsmith/shell/language_select_dlg.h"

namespace fs = std::filesystem;

namespace {

void Click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(10, w->height() / 2)); }

// Ticks a product in the tree as the operator does, by a click on its row.
void ChooseProduct(const shell::CFirmsmithDlg::Controls& c, const char* name) {
  const auto items = c.productTree->findItems(name, Qt::MatchExactly);
  if (!items.isEmpty())
    QTest::mouseClick(c.productTree->viewport(), Qt::LeftButton, {},
                      c.productTree->visualItemRect(items.front()).center());
}

bool Save(QWidget* w, const std::string& path) {
  w->show();
  QTest::qWait(300);
  if (!w->grab().save(QString::fromStdString(path), "PNG", 9)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return false;
  }
  std::printf("%s\n", path.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: firmsmith_screenshots APP_DIR OUT_DIR\n");
    return 2;
  }
  const std::string out = argv[2];
  const fs::path work = fs::temp_directory_path() / ("firmsmith-shots-" + std::to_string(getpid()));
  fs::remove_all(work);
  fs::create_directories(work);
  fs::copy(argv[1], work / "app", fs::copy_options::recursive);
  const std::string prog = (work / "app").string() + "/";
  platform::WriteProfileString(prog + "Config.ini", "Deployment", "ProbeAddress", "127.0.0.1");

  bool ok = true;
  const struct {
    const char* solution;
    const char* suffix;
  } kLanguages[] = {{"English", ""}, {"SimpChinese", "-zh"}};
  for (const auto& [solution, suffix] : kLanguages) {
    platform::WriteProfileString(prog + "Config.ini", "themes", "Solution", solution);
    uitext::CInitLanguage::ReleaseInstance();
    uitext::CInitLanguage* language = uitext::CInitLanguage::GetInstance();
    language->SetBasePath(prog);
    language->LoadLanguage();
    const std::string suffixText = suffix;
    {
      shell::DialogEnvironment environment;
      environment.programDirectory = prog;
      environment.installCrashHandler = false;
      shell::CFirmsmithDlg dialog(environment);
      dialog.OnInitDialog();
      dialog.show();
      const auto& c = dialog.controls();
      ChooseProduct(c, "KV-N3232X");
      c.originalFile->setText(QStringLiteral("/home/operator/firmware/KV-N3232X_V4.02.bin"));
      Click(c.rows[shell::CFirmsmithDlg::kRowCustom].check);
      Click(c.strings.check);
      c.strings.path->setText(QStringLiteral("/home/operator/FullLanguage/Strings"));
      Click(c.configs.check);
      c.deviceIp->setText(QStringLiteral("192.168.1.10"));
      Click(c.cloudServer);
      std::printf("minimum size %dx%d\n", dialog.minimumSizeHint().width(),
                  dialog.minimumSizeHint().height());
      ok = Save(&dialog, out + "/firmsmith-main-dialog" + suffixText + ".png") && ok;
    }
    if (suffixText.empty()) {
      // The flash layout bar filled by folders: romfs-x fits, custom-x does not.
      const fs::path src = work / "src";
      fs::create_directories(src / "romfs/bin");
      fs::create_directories(src / "custom/data");
      platform::WriteFileAtomic((src / "romfs/bin/app").string(), std::string(1800 * 1024, 'r'));
      platform::WriteFileAtomic((src / "custom/data/big").string(), std::string(1300 * 1024, 'c'));
      shell::DialogEnvironment environment;
      environment.programDirectory = prog;
      environment.installCrashHandler = false;
      shell::CFirmsmithDlg dialog(environment);
      dialog.OnInitDialog();
      dialog.show();
      const auto& c = dialog.controls();
      ChooseProduct(c, "KV-N3232X");
      for (int row : {shell::CFirmsmithDlg::kRowRomfs, shell::CFirmsmithDlg::kRowCustom})
        Click(c.rows[row].check);
      c.rows[shell::CFirmsmithDlg::kRowRomfs].path->setText(
          QString::fromStdString((src / "romfs").string()));
      c.rows[shell::CFirmsmithDlg::kRowCustom].path->setText(
          QString::fromStdString((src / "custom").string()));
      ok = Save(&dialog, out + "/firmsmith-flash-layout.png") && ok;
    }
    {
      const fs::path strings = work / "FullLanguage/Strings";
      fs::create_directories(strings);
      for (const char* name : {"English", "SimpChinese", "TradChinese", "Japanese", "French",
                               "German", "Italian", "Spanish", "Russian", "Turkey", "Portugal",
                               "Poland", "Korean"})
        platform::WriteFileAtomic((strings / name).string(), std::string(name) + "\n");
      shell::CLanguageSelectDlg select(strings.string(), prog, nullptr);
      ok = select.OnInitDialog() && ok;
      ok = Save(&select, out + "/firmsmith-language-select" + suffixText + ".png") && ok;
    }
  }
  uitext::CInitLanguage::ReleaseInstance();
  fs::remove_all(work);
  return ok ? 0 : 1;
}
