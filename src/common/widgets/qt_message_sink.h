// The MessageSink of the Qt dialogs: message boxes and file choosers owned by
// a window. Filters come in the "Description (*.ext)|*.ext||" form the
// dialogs are specified with.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <optional>
#include <string>

#include "common/platform/message_sink.h"

namespace widgets {

// "Excel Files (*.xls)|*.xls||" -> "Excel Files (*.xls)"; several pairs are
// joined with ";;". A description without a pattern in parentheses gets it.
QString QtFileFilter(const std::string& filter);

class QtMessageSink : public platform::MessageSink {
 public:
  explicit QtMessageSink(QWidget* owner = nullptr) : owner_(owner) {}
  void SetOwner(QWidget* owner) { owner_ = owner; }

  platform::MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                                      platform::MessageButtons buttons) override;
  // The specified text first; the detail as the box's informative text,
  // the icon of the severity.
  platform::MessageAnswer ShowDetailed(const std::string& text, const std::string& caption,
                                       const std::string& detail,
                                       platform::MessageSeverity severity) override;
  std::optional<std::string> ChooseFile(const std::string& title, const std::string& filter,
                                        const std::string& startPath) override;
  std::optional<std::string> ChooseFolder(const std::string& title,
                                          const std::string& startPath) override;
  // A save chooser offering `defaultName`; adds `defaultSuffix` (or that of
  // the filter the operator picks) to a name typed without one and asks
  // before an existing file is replaced.
  std::optional<std::string> ChooseSaveFile(const std::string& title, const std::string& filter,
                                            const std::string& defaultName,
                                            const std::string& defaultSuffix);

 private:
  QPointer<QWidget> owner_;
};

}  // namespace widgets
