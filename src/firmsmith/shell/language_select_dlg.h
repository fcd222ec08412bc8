// The language selection dialog: lists the device language files of a
// "FullLanguage" strings folder and stages the ticked ones, always with
// English and optionally with Korean, into "TempStrings" of the program
// folder, where the make operation takes them from. The caller empties and
// creates "TempStrings" before running it.
#pragma once

#include <QDialog>

#include <string>

#include "common/platform/message_sink.h"

class QCheckBox;
class QPushButton;
class QTreeWidget;

namespace shell {

class CLanguageSelectDlg : public QDialog {
  Q_OBJECT

 public:
  enum Column { kColumnNumber = 0, kColumnLanguage = 1, kColumnDisplayName = 2 };

  // `folderPath` as the operator chose it; `programDirectory` ends with "/".
  CLanguageSelectDlg(const std::string& folderPath, const std::string& programDirectory,
                     platform::MessageSink* sink, QWidget* parent = nullptr);

  // Retitles the dialog and lists the folder. False (after telling the
  // operator) when the folder holds no English file: the dialog then ends
  // as cancelled. exec() runs it first.
  bool OnInitDialog();
  int exec() override;

  // Where the ticked files go; default "<program folder>TempStrings". The
  // main dialog hands in a folder of its own, so runs never share one.
  void setStagingFolder(const std::string& folder) { stagingFolder_ = folder; }

  // 1 when the operator kept Korean; read after the dialog ended with OK.
  int koreanChoice() const { return koreanChoice_; }
  // The folder the files are taken from, after normalisation.
  const std::string& languageFolder() const { return folder_; }

  QTreeWidget* languageList() const { return list_; }
  QCheckBox* selectAllBox() const { return selectAll_; }
  QCheckBox* koreanBox() const { return korean_; }
  QPushButton* okButton() const { return ok_; }

  // "\" becomes "/", and "/Strings" is appended unless the path already
  // names "FullLanguage/Strings".
  static std::string NormaliseFolder(const std::string& path);

 public Q_SLOTS:
  void accept() override;

 private Q_SLOTS:
  void OnSelectAll(bool checked);

 private:
  std::string folder_;
  std::string programDirectory_;
  std::string stagingFolder_;
  platform::MessageSink* sink_;
  int koreanChoice_ = 0;
  bool initialised_ = false;
  bool initOk_ = false;

  QTreeWidget* list_ = nullptr;   // 1296
  QCheckBox* selectAll_ = nullptr;  // 1297
  QCheckBox* korean_ = nullptr;     // 1298
  QPushButton* ok_ = nullptr;       // 1
};

}  // namespace shell
