// Squashfs and jffs2 images are made by external tools: mksquashfs,
// unsquashfs and mkfs.jffs2, looked for in the program folder first, then on
// PATH. Each is started without a shell with a fixed parameter string, the
// caller blocks until it ends and then 100 ms more; the tool's exit code is
// not the verdict (only the squashfs builder checks its output).
//
// Every path is quoted in the parameter string, so a path with blanks stays
// one argument; a path that itself holds a double quote cannot be passed
// safely and is refused. A tool that cannot be found or started, or a refused
// path, is reported with one message box naming it.
#pragma once

#include <string>

#include "common/platform/message_sink.h"

namespace fsimage {

inline constexpr const char* kMksquashfsTool = "mksquashfs";
inline constexpr const char* kUnsquashfsTool = "unsquashfs";
inline constexpr const char* kMkfsJffs2Tool = "mkfs.jffs2";

// Finds `tool`, splits `parameters` into arguments and runs it, then waits
// 100 ms. False (after one message box) when it cannot be found or started.
bool RunExternalTool(const std::string& tool, const std::string& parameters,
                     platform::MessageSink& sink);

// mksquashfs "<source>" "<image>" -noappend -b 4k   (smallBlocks)
// mksquashfs "<source>" "<image>" -b 256k           (otherwise)
// True when the image then begins with the squashfs magic. Otherwise the
// boxes "open squashfs error" (only when the image cannot be opened),
// "make squashfs error!" and the image path, all with an empty caption.
bool BuildSquashfsImage(const std::string& sourceFolder, const std::string& imagePath,
                        bool smallBlocks, platform::MessageSink& sink);

// mkfs.jffs2 -d "<source>" -l -e 0x10000 -o "<image>"
// 1 once the tool has run (its output is checked by later steps), 0 when it
// could not be started.
int BuildJffs2Image(const std::string& sourceFolder, const std::string& imagePath,
                    platform::MessageSink& sink);

// unsquashfs -d "<destination>" "<image>"
// 1 once the tool has run, 0 when it could not be started.
int ExtractSquashfsImage(const std::string& imagePath, const std::string& destinationFolder,
                         platform::MessageSink& sink);

// The parameter strings above, for the callers and tests that show them.
std::string SquashfsBuildParameters(const std::string& sourceFolder, const std::string& imagePath,
                                    bool smallBlocks);
std::string Jffs2BuildParameters(const std::string& sourceFolder, const std::string& imagePath);
std::string SquashfsExtractParameters(const std::string& imagePath,
                                      const std::string& destinationFolder);

}  // namespace fsimage
