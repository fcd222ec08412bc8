// Squashfs and jffs2 images are made by external tools: mksquashfs,
// unsquashfs and mkfs.jffs2, looked for in the program folder first, then on
// PATH. Each is started without a shell with a fixed parameter string and
// the caller blocks until it ends; once a tool is reaped, its files are
// complete (the make operation's restored pauses wait 100 ms more after a
// build or an unpack by a tool, make_operation.h). The tools' silence is not
// trusted: a tool that exits with a non-zero status fails the step with its
// last lines of output as the reason, the source is checked to be readable
// before a build (the tools turn an unreadable file into an empty or missing
// one), and the image a build writes is checked against its source.
//
// Every path is quoted in the parameter string, so a path with blanks stays
// one argument; a path that itself holds a double quote cannot be passed
// safely and is refused. A tool that cannot be found or started, or a refused
// path, is reported with one message box naming it.
//
// Every failure fills *why (when given) with one line naming the file and
// the cause; without `why`, the reason goes to the debug channel.
#pragma once

#include <cstdint>
#include <string>

#include "common/platform/message_sink.h"
#include "common/platform/status.h"

namespace fsimage {

inline constexpr const char* kMksquashfsTool = "mksquashfs";
inline constexpr const char* kUnsquashfsTool = "unsquashfs";
inline constexpr const char* kMkfsJffs2Tool = "mkfs.jffs2";

// Finds `tool`, splits `parameters` into arguments and runs it. False (after one message box) when it cannot be found or started;
// false also when it exits with a non-zero status (no box: the reason, with
// the tool's last lines of output, goes to *why).
bool RunExternalTool(const std::string& tool, const std::string& parameters,
                     platform::MessageSink& sink, platform::Status* why = nullptr);

// mksquashfs "<source>" "<image>" -noappend -b 4k   (smallBlocks)
// mksquashfs "<source>" "<image>" -b 256k           (otherwise)
// True when every source file could be read, the tool succeeded, the image
// begins with the squashfs magic and "unsquashfs -lln" lists exactly the
// source tree (names, types, sizes). Otherwise the boxes "open squashfs
// error" (only when the image cannot be opened), "make squashfs error!" and
// the image path, all with an empty caption.
// With `manifestPath` (the manifest of a tree ExtractSquashfsImage unpacked,
// squashfs_manifest.h), the command line goes on with
//   -pf "<image>.pf" -root-mode MODE -root-uid UID -root-gid GID
// where "<image>.pf" (removed afterwards) holds the pseudo-file definitions
// of PlanSquashfsBuild, and the listing must show every entry with the
// mode, owner and device number the plan gives, the root folder included.
bool BuildSquashfsImage(const std::string& sourceFolder, const std::string& imagePath,
                        bool smallBlocks, platform::MessageSink& sink,
                        platform::Status* why = nullptr, const std::string& manifestPath = std::string());

// mkfs.jffs2 -d "<source>" -l -e 0x10000 -o "<image>"
// 1 when every source file could be read, the tool succeeded and the image
// passes CheckJffs2Image against the source; 0 otherwise (a box only when
// the tool could not be started).
// With `specialsManifest` (the special files of a tree we unpacked or
// staged, cramfs_manifest.h) and optionally `attributesManifest` (its modes
// and owners, squashfs_manifest.h), the command line goes on with
//   -D "<image>.devtable"
// where "<image>.devtable" (removed afterwards) is the device table of
// PlanJffs2Build, and the image must hold every entry with the type, mode,
// owner and device number the plan gives. Sockets, which the table cannot
// make, are left out with one warning line.
int BuildJffs2Image(const std::string& sourceFolder, const std::string& imagePath,
                    platform::MessageSink& sink, platform::Status* why = nullptr,
                    const std::string& specialsManifest = std::string(),
                    const std::string& attributesManifest = std::string());

// unsquashfs -d "<destination>" -exclude-file "<destination>.exclude" "<image>"
// An inert unpack (squashfs_tree.h): no device node, FIFO, socket, set-id,
// sticky or world-writable mode is created; they are kept in
// "<destination>.pseudo". 1 when every step succeeded (the listing before,
// the extraction, the files taken with -cat), 0 otherwise.
int ExtractSquashfsImage(const std::string& imagePath, const std::string& destinationFolder,
                         platform::MessageSink& sink, platform::Status* why = nullptr);

// The parameter strings above, for the callers and tests that show them.
std::string SquashfsBuildParameters(const std::string& sourceFolder, const std::string& imagePath,
                                    bool smallBlocks);
std::string Jffs2BuildParameters(const std::string& sourceFolder, const std::string& imagePath);
std::string SquashfsExtractParameters(const std::string& imagePath, const std::string& destinationFolder,
                                      const std::string& excludeList);
// What a build with a manifest adds: " -pf "<pseudo>" -root-mode ...".
std::string SquashfsManifestParameters(const std::string& pseudoFile, std::uint32_t rootMode,
                                       std::uint32_t rootUid, std::uint32_t rootGid);

}  // namespace fsimage
