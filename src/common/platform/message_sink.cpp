#include "common/platform/message_sink.h"

#include <cstdio>

#include "common/platform/debuglog.h"

namespace platform {

MessageAnswer StderrMessageSink::ShowMessage(const std::string& text, const std::string& caption,
                                             MessageButtons buttons) {
  if (caption.empty())
    std::fprintf(stderr, "%s\n", text.c_str());
  else
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  switch (buttons) {
    case MessageButtons::YesNo:
      return MessageAnswer::Yes;
    default:
      return MessageAnswer::Ok;
  }
}

MessageAnswer StderrMessageSink::ShowDetailed(const std::string& text, const std::string& caption,
                                              const std::string& detail,
                                              MessageSeverity severity) {
  const MessageAnswer answer = ShowMessage(text, caption, MessageButtons::Ok);
  // A success's file, size and folder are a trace on a command line, which
  // prints the written path on its own; a failure's reason always shows.
  const bool shown =
      severity != MessageSeverity::Information || GetVerbosity() == Verbosity::kVerbose;
  if (!detail.empty() && shown) std::fprintf(stderr, "%s\n", detail.c_str());
  return answer;
}

}  // namespace platform
