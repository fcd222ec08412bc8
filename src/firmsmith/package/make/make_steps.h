// Steps shared by the rework and the build from folders. Internal to the
// make operation.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/platform/status.h"
#include "firmsmith/package/make/make_operation.h"

namespace package {

// The manifest an unpack or a staged copy of ours left beside `buildFolder`
// for a build of file system `fs` (fsimage/cramfs_manifest.h,
// fsimage/squashfs_manifest.h); "" when there is none. Only for folders of
// ours: an operator's folder is built as it stands.
std::string ManifestBeside(int fs, const std::string& buildFolder);

// The slot's image base name: its own when the dialog set one, else the
// default of the slot table.
std::string SlotBaseName(const MakeOptions& options, int slot);
// The name of the file-system image built for a slot whose base name is
// `baseName`, after the file system it really holds: "web-x.cramfs" built as
// squashfs is "web-x.squashfs". What a flash image gets has no package entry
// to be named after, so it goes by this name.
std::string BuiltImageName(const std::string& baseName, int fs);

// Builds the file-system image of `sourceFolder` at `imagePath` (a leftover
// file is deleted first): cramfs, squashfs (4 KiB blocks when smallBlocks) or
// jffs2. Ext4 cannot be built. Fails, naming the file and the cause, when
// nothing usable was produced. Tells no progress (BuildQueue tells
// "building" on the run's thread); may run on a worker thread.
// `manifest`, when not empty, names what an unpack of ours left beside the
// tree: cramfs takes in the special entries of a cramfs manifest
// (fsimage/cramfs_manifest.h), squashfs the modes, owners and special files
// of a squashfs manifest (fsimage/squashfs_manifest.h).
// `imageOffset`, when not 0, leaves that many bytes in front of the image
// for its header (fsimage::WrapImageInPlace); only file systems that
// BuildsInProcess can be built so.
platform::Status BuildFileSystemImage(int fs, bool smallBlocks, const std::string& sourceFolder,
                                      const std::string& imagePath,
                                      const MakeEnvironment& environment,
                                      const std::string& manifest = std::string(),
                                      std::uint64_t imageOffset = 0);

// True for the file systems our own cramfs writer builds, in this process
// and holding its whole image in memory; it can leave room for the header in
// front of the image. The external tools write their images from the start
// of the file.
bool BuildsInProcess(int fs);
// The size of the image a build wrote to `imagePath`, the room in front of
// it not counted; 0 when there is none.
std::uint64_t ImageSizeOf(const std::string& imagePath, bool headerRoom);

// The product's custom ignore path applied to a source tree: without "*" the
// file of that name directly in the folder is deleted; with "*" every file
// under the sub-folder named by the text before the character that precedes
// the "*" (the folders stay). Paths that would leave the folder are ignored.
// Returns the folder to build from: `folder` itself when `ownedByUs`, or when
// nothing would be deleted; otherwise a copy staged under `stagingFolder`, so
// the operator's own folder is never changed. Fails naming the entry that
// could not be copied or deleted.
// Nothing is looked up, copied or deleted through a symbolic link: a link on
// the ignore path is not entered (nothing is deleted below it), a link is
// copied and deleted as a link. The staged copy holds no special file and no
// set-id, sticky or world-writable mode: its manifests (ManifestBeside) carry
// them, and every entry's mode and owner, to the build.
// The entries of the tree's manifests at and below the deleted path go too.
platform::Status ApplyIgnoreRule(const std::string& folder, const std::string& ignore, bool ownedByUs,
                     const std::string& stagingFolder, std::string* buildFolder);

// Name (not path) of the first image in `workFolder` that belongs to the
// slot (IsImageOfSlot). "" when there is none.
std::string FindExistingImage(const std::string& workFolder, int slot, const std::string& baseName);

// Fits the logo folder's bitmaps to the product's logo size; *why names
// the file that failed by its name in the folder, and the cause.
inline constexpr const char* kLogoConvertKey = "Firmsmith.The logo pictures could not be converted.";
bool ConvertLogo(const std::string& folder, int width, int height, std::string* why);

// The logo folder to build from: when the product has a logo size, the
// operator's folder is copied to "<stagingRoot>/logo" and the copy is fitted
// (the fitting replaces the pictures it reads, which must not happen to the
// operator's own files); otherwise the folder itself. False after one
// message box when copying or fitting fails. That box waits for
// `beforeFailure` (when given), and is not shown when it returns false: the
// builds of earlier slots may still be under way, and a failure of theirs is
// the one a run of one build at a time shows first.
bool PrepareLogoFolder(const std::string& folder, const products::ProductProfile& product,
                       const std::string& stagingRoot, const MakeEnvironment& environment,
                       std::string* buildFolder, const std::function<bool()>& beforeFailure = {});

// Copies a tree into the new folder `destination` (files, folders, symbolic
// links as links, never entered; no special files, no set-id, sticky or
// world-writable modes). Fails at the first entry that cannot be read or
// written, naming it.
platform::Status CopyTree(const std::string& source, const std::string& destination);

bool ReworkPackage(const MakeOptions& options, const MakeEnvironment& environment);
bool BuildPackageFromFolders(const MakeOptions& options, const MakeEnvironment& environment);

}  // namespace package
