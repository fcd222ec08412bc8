#include "firmsmith/fsimage/external_tools.h"

#include <chrono>
#include <cstring>
#include <initializer_list>
#include <thread>

#include "common/platform/debuglog.h"
#include "common/platform/process.h"
#include "firmsmith/fsimage/image_probe.h"
#include "common/platform/fd.h"

namespace fsimage {
namespace {

// The tools may still be flushing their output when they are reaped.
constexpr std::chrono::milliseconds kSettleTime{100};

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// Quotes delimit the arguments: a path holding one would be split apart.
bool PathsArePassable(std::initializer_list<const std::string*> paths, const char* tool,
                      platform::MessageSink& sink) {
  for (const std::string* p : paths) {
    if (p->find('"') != std::string::npos) {
      sink.ShowMessage(std::string(tool) + ": cannot pass a path holding a double quote: " + *p,
                       "");
      return false;
    }
  }
  return true;
}

}  // namespace

std::string SquashfsBuildParameters(const std::string& sourceFolder, const std::string& imagePath,
                                    bool smallBlocks) {
  return Quoted(sourceFolder) + " " + Quoted(imagePath) +
         (smallBlocks ? " -noappend -b 4k" : " -b 256k");
}

std::string Jffs2BuildParameters(const std::string& sourceFolder, const std::string& imagePath) {
  return "-d " + Quoted(sourceFolder) + " -l -e 0x10000 -o " + Quoted(imagePath);
}

std::string SquashfsExtractParameters(const std::string& imagePath,
                                      const std::string& destinationFolder) {
  return "-d " + Quoted(destinationFolder) + " " + Quoted(imagePath);
}

bool RunExternalTool(const std::string& tool, const std::string& parameters,
                     platform::MessageSink& sink) {
  std::string program = platform::FindTool(tool);
  if (program.empty()) {
    sink.ShowMessage("cannot find the tool " + tool + " in the program folder or on PATH", "");
    return false;
  }
  platform::DebugOutput("%s %s\n", program.c_str(), parameters.c_str());
  platform::ProcessResult result = platform::RunProgram(program, platform::SplitParameters(parameters));
  if (!result.started) {
    sink.ShowMessage("cannot start the tool " + program + ": " + result.error, "");
    return false;
  }
  platform::DebugOutput("%s ended with status %d\n", tool.c_str(), result.exitStatus);
  std::this_thread::sleep_for(kSettleTime);
  return true;
}

bool BuildSquashfsImage(const std::string& sourceFolder, const std::string& imagePath,
                        bool smallBlocks, platform::MessageSink& sink) {
  if (!PathsArePassable({&sourceFolder, &imagePath}, kMksquashfsTool, sink)) return false;
  if (!RunExternalTool(kMksquashfsTool,
                       SquashfsBuildParameters(sourceFolder, imagePath, smallBlocks), sink))
    return false;

  platform::UniqueFd image = platform::OpenRegularForReading(imagePath);
  char magic[kSquashfsMagicLength] = {};
  if (!image.valid()) sink.ShowMessage("open squashfs error", "");
  if (image.valid() && platform::ReadFullAt(image.get(), magic, sizeof magic, 0) ==
                           static_cast<ssize_t>(sizeof magic) &&
      std::memcmp(magic, kSquashfsMagic, sizeof magic) == 0)
    return true;
  sink.ShowMessage("make squashfs error!", "");
  sink.ShowMessage(imagePath, "");
  return false;
}

int BuildJffs2Image(const std::string& sourceFolder, const std::string& imagePath,
                    platform::MessageSink& sink) {
  if (!PathsArePassable({&sourceFolder, &imagePath}, kMkfsJffs2Tool, sink)) return 0;
  return RunExternalTool(kMkfsJffs2Tool, Jffs2BuildParameters(sourceFolder, imagePath), sink) ? 1
                                                                                              : 0;
}

int ExtractSquashfsImage(const std::string& imagePath, const std::string& destinationFolder,
                         platform::MessageSink& sink) {
  if (!PathsArePassable({&imagePath, &destinationFolder}, kUnsquashfsTool, sink)) return 0;
  return RunExternalTool(kUnsquashfsTool, SquashfsExtractParameters(imagePath, destinationFolder),
                         sink)
             ? 1
             : 0;
}

}  // namespace fsimage
