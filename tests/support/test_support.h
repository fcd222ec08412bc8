// Helpers shared by every test program: temporary folders, running a
// program and capturing its output, small file helpers, a message sink that
// records each box and answers from a script, and the locations of the
// source tree and the built program folder.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "common/platform/files.h"
#include "common/platform/message_sink.h"

namespace testsupport {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when
// the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string operator/(const std::string& relative) const;

 private:
  std::string path_;
};

std::string SourceDir();  // the repository root
std::string AppDir();     // the built program folder (build/app)
std::string BinaryDir();  // the build tree

struct CommandResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};
// Runs argv[0] (searched on PATH when it holds no "/") without a shell.
// `env` entries are added to (or replace in) the current environment.
CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::map<std::string, std::string>& env = {});
bool HaveProgram(const std::string& name);

// `argv` run without the superuser's right to read, write and enter any
// file (setpriv drops CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH from the
// bounding set), so that a file of mode 000 is unreadable also when the
// tests run as root, as CI does. For any other user, argv as it is.
std::vector<std::string> WithoutFileOverride(std::vector<std::string> argv);

// While alive, this thread works without the superuser's file override
// (CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH leave its effective set), so a
// mode-000 file is unreadable in-process too; programs it starts get their
// rights back. Does nothing for other users.
class FileOverrideDropped {
 public:
  FileOverrideDropped();
  ~FileOverrideDropped();
  FileOverrideDropped(const FileOverrideDropped&) = delete;
  FileOverrideDropped& operator=(const FileOverrideDropped&) = delete;

 private:
  bool dropped_ = false;
  unsigned saved_[2] = {0, 0};  // effective sets as capget gave them
};

// `argv` run in a private mount namespace in which `folder` (an existing
// empty folder) is a tmpfs of `kib` KiB: a disk that fills up. Empty when
// this machine cannot give one (no unshare, or no right to mount); the
// caller then skips.
std::vector<std::string> OnSmallDisk(const std::string& folder, int kib,
                                     std::vector<std::string> argv);

// Every file below `folder` with its bytes, by path: taken before and after
// a failure to show that no input changed.
std::map<std::string, std::string> SnapshotTree(const std::string& folder);

void WriteFile(const std::string& path, const std::string& content);  // makes parent folders
std::string ReadFile(const std::string& path);                        // "" when missing
bool FileExists(const std::string& path);
// "" when the two byte strings are equal, else where the first difference
// lies (or that the sizes differ): large buffers are compared with
// EXPECT_EQ(FirstDifference(a, b), "") so a failure never prints megabytes.
std::string FirstDifference(const std::string& a, const std::string& b);
// platform::ListFolder for tests: the entries, or none (with the reason on
// standard error) when the folder cannot be listed.
std::vector<platform::FolderEntry> ListEntries(const std::string& folder);

// Records every box; answers from `answers` in order, then with Ok/Yes.
class RecordingMessageSink : public platform::MessageSink {
 public:
  struct Box {
    std::string text;
    std::string caption;
    platform::MessageButtons buttons;
    std::string reason;  // the detail: a failure's reason, what a success wrote
    platform::MessageSeverity severity = platform::MessageSeverity::Information;
  };
  platform::MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                                      platform::MessageButtons buttons) override;
  platform::MessageAnswer ShowDetailed(const std::string& text, const std::string& caption,
                                       const std::string& detail,
                                       platform::MessageSeverity severity) override;
  std::optional<std::string> ChooseFile(const std::string& title, const std::string& filter,
                                        const std::string& startPath) override;
  std::optional<std::string> ChooseFolder(const std::string& title,
                                          const std::string& startPath) override;

  std::vector<Box> boxes;
  std::deque<platform::MessageAnswer> answers;
  std::deque<std::optional<std::string>> chosenPaths;  // for both choosers
};

// "unsquashfs -lln" of an image by path: type and mode, owner, and the
// size of a file or the device number of a node (folder sizes and times
// left out). A failing unsquashfs fails the calling test.
std::map<std::string, std::string> UnsquashfsListing(const std::string& image);

// Each entry of a ZIP archive as Python's zipfile finds it: compression
// method, internal attributes and its raw data (still compressed, read past
// its local header). A failing reader fails the calling test.
struct ZipRawEntry {
  int method = -1;
  int internalAttributes = -1;
  std::string raw;
};
std::map<std::string, ZipRawEntry> ZipRawEntries(const std::string& archive);

}  // namespace testsupport
