#include "common/widgets/held_message_sink.h"

#include <QMetaObject>
#include <QThread>

namespace widgets {

void HeldMessageSink::AskOnUiThread(const std::function<void()>& ask) {
  auto run = [&] {
    ShowHeld();
    ask();
  };
  QObject* context = context_.data();
  if (context == nullptr) return;  // the window is gone: nobody to ask
  if (QThread::currentThread() == context->thread())
    run();
  else
    QMetaObject::invokeMethod(context, run, Qt::BlockingQueuedConnection);
}

platform::MessageAnswer HeldMessageSink::ShowMessage(const std::string& text,
                                                     const std::string& caption,
                                                     platform::MessageButtons buttons) {
  if (buttons == platform::MessageButtons::Ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.push_back(Box{text, caption, "", std::nullopt});
    return platform::MessageAnswer::Ok;
  }
  platform::MessageAnswer answer = platform::MessageAnswer::Cancel;
  AskOnUiThread([&] { answer = target_->ShowMessage(text, caption, buttons); });
  return answer;
}

platform::MessageAnswer HeldMessageSink::ShowDetailed(const std::string& text,
                                                      const std::string& caption,
                                                      const std::string& detail,
                                                      platform::MessageSeverity severity) {
  std::lock_guard<std::mutex> lock(mutex_);
  held_.push_back(Box{text, caption, detail, severity});
  return platform::MessageAnswer::Ok;
}

std::optional<std::string> HeldMessageSink::ChooseFile(const std::string& title,
                                                       const std::string& filter,
                                                       const std::string& startPath) {
  std::optional<std::string> chosen;
  AskOnUiThread([&] { chosen = target_->ChooseFile(title, filter, startPath); });
  return chosen;
}

std::optional<std::string> HeldMessageSink::ChooseFolder(const std::string& title,
                                                         const std::string& startPath) {
  std::optional<std::string> chosen;
  AskOnUiThread([&] { chosen = target_->ChooseFolder(title, startPath); });
  return chosen;
}

void HeldMessageSink::ShowHeld() {
  std::vector<Box> boxes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    boxes.swap(held_);
  }
  for (const Box& box : boxes) {
    if (box.severity)
      target_->ShowDetailed(box.text, box.caption, box.detail, *box.severity);
    else
      target_->ShowMessage(box.text, box.caption, platform::MessageButtons::Ok);
  }
}

}  // namespace widgets
