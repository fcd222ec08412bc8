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
// The weight of a box with detail: the icon the operator sees it with.
enum class MessageSeverity { Information, Warning, Critical };

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // One message box: translated text and caption, the given buttons.
  virtual MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                                    MessageButtons buttons = MessageButtons::Ok) = 0;
  // A box with detail, one OK button: the specified text stays first, the
  // detail is shown beside it (a failure's reason, one line naming the file
  // and the cause; what a success wrote: which file, its size, where).
  // Sinks that have no place for detail show it on a line after the text;
  // sinks without icons ignore the severity.
  virtual MessageAnswer ShowDetailed(const std::string& text, const std::string& caption,
                                     const std::string& detail, MessageSeverity severity) {
    return ShowMessage(detail.empty() ? text : text + "\n" + detail, caption, MessageButtons::Ok);
  }
  // A failure box: ShowDetailed with the reason and the warning icon.
  MessageAnswer ShowFailure(const std::string& text, const std::string& caption,
                            const std::string& reason) {
    return ShowDetailed(text, caption, reason, MessageSeverity::Warning);
  }
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
  // The box's line, then the detail on a line of its own: always for a
  // warning or a critical box, with -v only for an informing one.
  MessageAnswer ShowDetailed(const std::string& text, const std::string& caption,
                             const std::string& detail, MessageSeverity severity) override;
};

}  // namespace platform
