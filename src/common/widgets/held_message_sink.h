// A MessageSink for work that runs off the UI thread. Boxes that only
// inform (one OK button, with or without detail) are held in the order they
// come and shown on the UI thread once the work ends (ShowHeld), so the
// operator reads them after the work, in the work's order and texts. A
// question or a chooser needs its answer at once: the held boxes are shown
// first, then it is asked on the UI thread while the worker waits. The
// target sink is only ever called on the UI thread.
#pragma once

#include <QObject>
#include <QPointer>

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/platform/message_sink.h"

namespace widgets {

class HeldMessageSink : public platform::MessageSink {
 public:
  // `uiContext` lives on the UI thread and outlives the work.
  HeldMessageSink(platform::MessageSink* target, QObject* uiContext)
      : target_(target), context_(uiContext) {}

  platform::MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                                      platform::MessageButtons buttons) override;
  platform::MessageAnswer ShowDetailed(const std::string& text, const std::string& caption,
                                       const std::string& detail,
                                       platform::MessageSeverity severity) override;
  std::optional<std::string> ChooseFile(const std::string& title, const std::string& filter,
                                        const std::string& startPath) override;
  std::optional<std::string> ChooseFolder(const std::string& title,
                                          const std::string& startPath) override;

  // On the UI thread: shows every held box, in order, through the target.
  void ShowHeld();

 private:
  struct Box {
    std::string text;
    std::string caption;
    std::string detail;
    std::optional<platform::MessageSeverity> severity;  // empty: a plain box
  };
  // Runs `ask` on the UI thread (after the held boxes) and waits for it;
  // nothing runs when the UI context is gone (the answer stays unanswered).
  void AskOnUiThread(const std::function<void()>& ask);

  platform::MessageSink* target_;
  QPointer<QObject> context_;
  std::mutex mutex_;
  std::vector<Box> held_;
};

}  // namespace widgets
