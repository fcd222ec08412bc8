// Everything the operator is shown or asked goes through one MessageSink:
// message boxes and file or folder choosers. The dialogs install a Qt sink,
// the command-line tools one that writes to standard error, and tests one
// that records each box and answers from a script.
#pragma once

#include <optional>
#include <string>

namespace platform {

enum class MessageButtons { Ok, OkCancel, YesNo };
enum class MessageAnswer { Ok, Cancel, Yes, No };

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // One message box: translated text and caption, the given buttons.
  virtual MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                                    MessageButtons buttons = MessageButtons::Ok) = 0;
  // A file chooser; nullopt when cancelled. `filter` is in the
  // "Description (*.ext)|*.ext|...||" form the dialogs are specified with.
  virtual std::optional<std::string> ChooseFile(const std::string& title, const std::string& filter,
                                                const std::string& startPath = "") {
    return std::nullopt;
  }
  // A folder chooser; nullopt when cancelled.
  virtual std::optional<std::string> ChooseFolder(const std::string& title,
                                                  const std::string& startPath = "") {
    return std::nullopt;
  }
};

// Writes "caption: text" lines to standard error and answers every question
// with its affirmative button. For command-line runs.
class StderrMessageSink : public MessageSink {
 public:
  MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                            MessageButtons buttons) override;
};

}  // namespace platform
