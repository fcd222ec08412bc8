#include "firmsmith/fsimage/external_tools.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "common/platform/debuglog.h"
#include "common/platform/fd.h"
#include "common/platform/files.h"
#include "common/platform/process.h"
#include "firmsmith/fsimage/cramfs_manifest.h"
#include "firmsmith/fsimage/image_probe.h"
#include "firmsmith/fsimage/jffs2_devtable.h"
#include "firmsmith/fsimage/jffs2_extract.h"
#include "firmsmith/fsimage/jffs2_reader.h"
#include "firmsmith/fsimage/source_tree.h"
#include "firmsmith/fsimage/squashfs_check.h"
#include "firmsmith/fsimage/squashfs_manifest.h"
#include "firmsmith/fsimage/squashfs_tree.h"

namespace fsimage {
namespace {

// Lines of a failed tool's output that make its reason.
constexpr int kReasonLines = 3;

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// Quotes delimit the arguments: a path holding one would be split apart.
bool PathsArePassable(std::initializer_list<const std::string*> paths, const char* tool,
                      platform::MessageSink& sink, platform::Status* why) {
  for (const std::string* p : paths) {
    if (p->find('"') != std::string::npos) {
      const std::string text =
          std::string(tool) + ": cannot pass a path holding a double quote: " + *p;
      sink.ShowMessage(text, "");
      if (why != nullptr) *why = platform::Status::Fail(text);
      return false;
    }
  }
  return true;
}

// Hands the reason to the caller, or to the debug channel when it asked for
// none; false for the caller to return.
bool Fail(platform::Status* why, platform::Status status) {
  if (why != nullptr)
    *why = std::move(status);
  else
    platform::DebugOutput("%s\n", status.message.c_str());
  return false;
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

std::string SquashfsExtractParameters(const std::string& imagePath, const std::string& destinationFolder,
                                      const std::string& excludeList) {
  return "-d " + Quoted(destinationFolder) + " -exclude-file " + Quoted(excludeList) + " " + Quoted(imagePath);
}

std::string SquashfsManifestParameters(const std::string& pseudoFile, std::uint32_t rootMode,
                                       std::uint32_t rootUid, std::uint32_t rootGid) {
  char root[96];
  std::snprintf(root, sizeof root, " -root-mode %04o -root-uid %u -root-gid %u", rootMode & 07777, rootUid, rootGid);
  return " -pf " + Quoted(pseudoFile) + root;
}

namespace {

enum class ToolRun { kNotStarted, kFailed, kSucceeded };

// RunExternalTool, telling a tool that never ran from one that failed.
ToolRun RunTool(const std::string& tool, const std::string& parameters,
                platform::MessageSink& sink, platform::Status* why) {
  std::string program = platform::FindTool(tool);
  if (program.empty()) {
    const std::string text = "cannot find the tool " + tool + " in the program folder or on PATH";
    sink.ShowMessage(text, "");
    Fail(why, platform::Status::Fail(text));
    return ToolRun::kNotStarted;
  }
  platform::DebugOutput("%s %s\n", program.c_str(), parameters.c_str());
  platform::ProcessResult result = platform::RunProgram(program, platform::SplitParameters(parameters));
  if (!result.started) {
    const std::string text = "cannot start the tool " + program + ": " + result.error;
    sink.ShowMessage(text, "");
    Fail(why, platform::Status::Fail(text));
    return ToolRun::kNotStarted;
  }
  platform::DebugOutput("%s", result.output.c_str());
  platform::DebugOutput("%s ended with status %d\n", tool.c_str(), result.exitStatus);
  if (result.exitStatus != 0) {
    const std::string said = platform::LastLines(result.output, kReasonLines);
    Fail(why, platform::Status::Fail(tool + " " + parameters + " failed with exit status " +
                                     std::to_string(result.exitStatus) +
                                     (said.empty() ? "" : ": " + said)));
    return ToolRun::kFailed;
  }
  return ToolRun::kSucceeded;
}

}  // namespace

bool RunExternalTool(const std::string& tool, const std::string& parameters,
                     platform::MessageSink& sink, platform::Status* why) {
  return RunTool(tool, parameters, sink, why) == ToolRun::kSucceeded;
}

bool BuildSquashfsImage(const std::string& sourceFolder, const std::string& imagePath,
                        bool smallBlocks, platform::MessageSink& sink, platform::Status* why,
                        const std::string& manifestPath) {
  const std::string pseudoPath = manifestPath.empty() ? std::string() : imagePath + ".pf";
  if (!PathsArePassable({&sourceFolder, &imagePath, &pseudoPath}, kMksquashfsTool, sink, why)) return false;
  auto failed = [&](platform::Status status) {
    sink.ShowMessage("make squashfs error!", "");
    sink.ShowMessage(imagePath, "");
    return Fail(why, std::move(status));
  };
  std::vector<SourceEntry> source;
  if (platform::Status read = ReadSourceTree(sourceFolder, &source); !read) return failed(read);

  std::string parameters = SquashfsBuildParameters(sourceFolder, imagePath, smallBlocks);
  SquashfsBuildPlan plan;
  if (!manifestPath.empty()) {
    // The tree's modes, owners and special files come from its manifest.
    SquashfsManifest manifest;
    if (platform::Status read = ReadSquashfsManifest(manifestPath, &manifest); !read) return failed(read);
    plan = PlanSquashfsBuild(manifest, source);
    if (platform::Status written = platform::WriteFileAtomic(pseudoPath, plan.pseudoFile); !written)
      return failed(written);
    parameters += SquashfsManifestParameters(pseudoPath, plan.root.mode, plan.root.uid, plan.root.gid);
    source = plan.expected;
  }
  platform::Status ran;
  const ToolRun run = RunTool(kMksquashfsTool, parameters, sink, &ran);
  if (!pseudoPath.empty()) ::unlink(pseudoPath.c_str());
  if (run == ToolRun::kNotStarted) return Fail(why, ran);
  const bool toolOk = run == ToolRun::kSucceeded;

  std::string reason;
  platform::UniqueFd image = platform::OpenRegularForReading(imagePath, &reason);
  char magic[kSquashfsMagicLength] = {};
  if (!image.valid()) sink.ShowMessage("open squashfs error", "");
  if (!toolOk) return failed(ran);
  if (!image.valid()) return failed(platform::Status::Fail(reason));
  if (platform::ReadFullAt(image.get(), magic, sizeof magic, 0) != static_cast<ssize_t>(sizeof magic) ||
      std::memcmp(magic, kSquashfsMagic, sizeof magic) != 0)
    return failed(platform::Status::Fail(imagePath + ": no squashfs magic at its start"));

  std::vector<SourceEntry> listed;
  SourceEntry root;
  if (platform::Status check = ListSquashfsImage(imagePath, &listed, &root); !check) return failed(check);
  if (platform::Status same = CompareImageWithSource(imagePath, listed, source); !same)
    return failed(same);
  if (!manifestPath.empty() &&
      (root.mode != plan.root.mode || root.uid != plan.root.uid || root.gid != plan.root.gid))
    return failed(platform::Status::Fail(imagePath + ": the root folder lost the mode or owner of its manifest"));
  return true;
}

int BuildJffs2Image(const std::string& sourceFolder, const std::string& imagePath,
                    platform::MessageSink& sink, platform::Status* why, const std::string& specialsManifest,
                    const std::string& attributesManifest) {
  const std::string tablePath = specialsManifest.empty() ? std::string() : imagePath + ".devtable";
  if (!PathsArePassable({&sourceFolder, &imagePath, &tablePath}, kMkfsJffs2Tool, sink, why)) return 0;
  std::vector<SourceEntry> source;
  if (platform::Status read = ReadSourceTree(sourceFolder, &source); !read) return Fail(why, read);
  if (specialsManifest.empty()) {
    if (!RunExternalTool(kMkfsJffs2Tool, Jffs2BuildParameters(sourceFolder, imagePath), sink, why)) return 0;
    if (platform::Status check = CheckJffs2Image(imagePath, sourceFolder); !check) return Fail(why, check);
    return 1;
  }
  // The tree's special files, modes and owners come from its manifests.
  std::vector<CramfsSpecialEntry> specials;
  if (platform::Status read = ReadCramfsManifest(specialsManifest, &specials); !read) return Fail(why, read);
  SquashfsManifest attributes;
  if (!attributesManifest.empty())
    if (platform::Status read = ReadSquashfsManifest(attributesManifest, &attributes); !read) return Fail(why, read);
  Jffs2BuildPlan plan;
  if (platform::Status planned = PlanJffs2Build(source, specials, specialsManifest,
                                                attributesManifest.empty() ? nullptr : &attributes, &plan);
      !planned)
    return Fail(why, planned);
  if (platform::Status written = platform::WriteFileAtomic(tablePath, plan.deviceTable); !written)
    return Fail(why, written);
  const bool built = RunExternalTool(
      kMkfsJffs2Tool, Jffs2BuildParameters(sourceFolder, imagePath) + " -D " + Quoted(tablePath), sink, why);
  ::unlink(tablePath.c_str());
  if (!built) return 0;
  std::vector<SourceEntry> held;
  if (platform::Status listed = ListJffs2Image(imagePath, &held); !listed) return Fail(why, listed);
  if (platform::Status same = CompareImageWithSource(imagePath, held, plan.expected); !same) return Fail(why, same);
  if (!plan.sockets.empty())
    platform::WarningOutput("%zu sockets of %s left out of %s: mkfs.jffs2 cannot make them (first: %s)\n",
                            plan.sockets.size(), specialsManifest.c_str(), imagePath.c_str(),
                            plan.sockets.front().c_str());
  if (!plan.unset.empty())
    platform::WarningOutput("%zu entries of %s keep the copy's mode and owner in %s (first: %s)\n",
                            plan.unset.size(), attributesManifest.c_str(), imagePath.c_str(),
                            plan.unset.front().c_str());
  return 1;
}

int ExtractSquashfsImage(const std::string& imagePath, const std::string& destinationFolder,
                         platform::MessageSink& sink, platform::Status* why) {
  const std::string excludeList = SquashfsExcludeListPath(destinationFolder);
  if (!PathsArePassable({&imagePath, &destinationFolder, &excludeList}, kUnsquashfsTool, sink, why)) return 0;
  if (platform::Status extracted = ExtractSquashfsTree(imagePath, destinationFolder, sink); !extracted) {
    Fail(why, extracted);
    return 0;
  }
  return 1;
}

}  // namespace fsimage
