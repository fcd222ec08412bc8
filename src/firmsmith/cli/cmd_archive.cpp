// firmsmith-cli unpack / pack / probe: package archives and the image-kind
// probe.
#include <cstdio>
#include <cstdlib>

#include "common/platform/cli.h"
#include "firmsmith/fsimage/archive.h"
#include "firmsmith/fsimage/image_probe.h"

namespace {

int RunUnpack(const std::vector<std::string>& args) {
  if (args.size() != 2) return platform::CliUsage("usage: unpack ARCHIVE DEST");
  platform::Status why;
  if (fsimage::UnpackArchive(args[0], args[1], &why) != 0)
    return platform::CliFail("cannot unpack " + args[0] + " into " + args[1], why);
  return 0;
}

int RunPack(const std::vector<std::string>& args) {
  if (args.size() != 2) return platform::CliUsage("usage: pack FOLDER ARCHIVE");
  platform::Status why;
  if (fsimage::PackFolder(args[0], args[1], &why) != 0)
    return platform::CliFail("cannot pack " + args[0] + " into " + args[1], why);
  return 0;
}

int RunProbe(const std::vector<std::string>& args) {
  if (args.size() < 2 || args.size() > 4)
    return platform::CliUsage("usage: probe MODE PATH [KEY [MATCH]]");
  char* end = nullptr;
  long mode = std::strtol(args[0].c_str(), &end, 10);
  if (args[0].empty() || *end != '\0') return platform::CliUsage("MODE must be 0, 1, 2 or 3");
  int match = 0;
  if (args.size() == 4) {
    match = static_cast<int>(std::strtol(args[3].c_str(), &end, 10));
    if (args[3].empty() || *end != '\0') return platform::CliUsage("MATCH must be 0 or 1");
  }
  std::string key = args.size() >= 3 ? args[2] : std::string();
  platform::Status why;
  std::printf("%d\n", fsimage::DetectImageKind(static_cast<int>(mode), args[1], key, match, &why));
  std::fflush(stdout);
  // The kind printed for an unreadable input is no answer: say so and fail.
  if (!why) return platform::CliFail("cannot probe " + args[1], why);
  return 0;
}

const platform::CliRegistration kUnpack{
    {"unpack", "ARCHIVE DEST", "Unpack a package archive into a folder.", RunUnpack}};
const platform::CliRegistration kPack{
    {"pack", "FOLDER ARCHIVE", "Pack the files of a folder tree into a package archive.",
     RunPack}};
const platform::CliRegistration kProbe{
    {"probe", "MODE PATH [KEY [MATCH]]",
     "Print the image kind: 3 jffs2, 2 squashfs, 1 cramfs, 0 none, -1 archive unreadable "
     "(exit 1 when the input cannot be read).", RunProbe,
     "MODE says what PATH is and what KEY means:\n"
     "  0  PATH is a package (ZIP); KEY is an entry name, equal to it (MATCH 0, the\n"
     "     default) or contained in it (MATCH 1); the first matching entry that shows\n"
     "     a file system behind its 64-byte header decides.\n"
     "  1  PATH is a flash image; KEY is the byte offset of the file system (decimal\n"
     "     or 0x-hexadecimal).\n"
     "  2  PATH is a partition image; the file system behind its 64-byte header.\n"
     "  3  PATH is a bare file-system image.\n"
     "Example: probe 0 General_KV-N1608W.bin user-x 1"}};

}  // namespace
