// The cramfs on-disk layout as the devices mount it, written down once for the
// writer and the reader: format version 2, 4096-byte blocks, each block one
// zlib stream, every multi-byte field little-endian.
//
//   superblock (76 bytes at the image start)
//   directory area: each directory's entry list, inode + padded name per entry
//   data area: per stored file a block-pointer table, then its blocks
//   zero bytes up to a multiple of 4096
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fsimage::cramfs {

inline constexpr std::uint32_t kMagic = 0x28CD3D45;
inline constexpr char kSignature[] = "Compressed ROMFS";  // 16 bytes, no terminator stored
inline constexpr char kVolumeName[] = "Compressed";       // in a 16-byte zero-filled field

// Superblock fields (byte offsets from the image start).
inline constexpr std::size_t kSuperMagic = 0;
inline constexpr std::size_t kSuperSize = 4;
inline constexpr std::size_t kSuperFlags = 8;
inline constexpr std::size_t kSuperFuture = 12;
inline constexpr std::size_t kSuperSignature = 16;
inline constexpr std::size_t kSignatureLength = 16;
inline constexpr std::size_t kSuperCrc = 32;
inline constexpr std::size_t kSuperEdition = 36;
inline constexpr std::size_t kSuperBlocks = 40;
inline constexpr std::size_t kSuperFiles = 44;
inline constexpr std::size_t kSuperName = 48;
inline constexpr std::size_t kVolumeNameLength = 16;
inline constexpr std::size_t kSuperRoot = 64;
inline constexpr std::size_t kSuperblockSize = 76;

// Boot loaders may keep 512 bytes of their own in front of the superblock.
inline constexpr std::size_t kPaddedStart = 512;

// Superblock flags.
inline constexpr std::uint32_t kFlagFsidVersion2 = 0x001;
inline constexpr std::uint32_t kFlagSortedDirs = 0x002;
inline constexpr std::uint32_t kFlagHoles = 0x100;
inline constexpr std::uint32_t kFlagShiftedRootOffset = 0x400;
// Flags at or above this are features a reader of ours does not know.
inline constexpr std::uint32_t kFlagsUnsupported = 0x800;
inline constexpr std::uint32_t kFlagsWritten = kFlagFsidVersion2 | kFlagSortedDirs;

// Inode: three 32-bit words.
//   word 0: mode (bits 0-15), uid (16-31)
//   word 1: size (bits 0-23), gid (24-31)
//   word 2: name length / 4 (bits 0-5), offset / 4 (bits 6-31)
inline constexpr std::size_t kInodeSize = 12;
inline constexpr unsigned kModeWidth = 16;
inline constexpr unsigned kUidWidth = 16;
inline constexpr unsigned kSizeWidth = 24;
inline constexpr unsigned kGidWidth = 8;
inline constexpr unsigned kNameLenWidth = 6;
inline constexpr unsigned kOffsetWidth = 26;
inline constexpr std::uint32_t kMaxFileSize = (1u << kSizeWidth) - 1;  // 16,777,215
// Offsets are stored in units of 4 bytes, so the largest addressable byte.
inline constexpr std::uint64_t kMaxOffset = ((std::uint64_t{1} << kOffsetWidth) - 1) * 4;
inline constexpr std::size_t kMaxStoredNameLength = ((1u << kNameLenWidth) - 1) * 4;  // 252

inline constexpr std::uint32_t kModeTypeMask = 0170000;
inline constexpr std::uint32_t kModeDirectory = 0040000;
inline constexpr std::uint32_t kModeRegular = 0100000;
inline constexpr std::uint32_t kModeSymlink = 0120000;
inline constexpr std::uint32_t kModeCharDevice = 0020000;
inline constexpr std::uint32_t kModeBlockDevice = 0060000;
inline constexpr std::uint32_t kModeFifo = 0010000;
inline constexpr std::uint32_t kModeSocket = 0140000;

// A device node keeps its number in the size field, as the kernel reads it:
// major in bits 8-15, minor in bits 0-7.
inline constexpr std::uint32_t kMaxDeviceMajor = 0xFF;
inline constexpr std::uint32_t kMaxDeviceMinor = 0xFF;
inline constexpr std::uint32_t EncodeDevice(std::uint32_t major, std::uint32_t minor) {
  return (major & kMaxDeviceMajor) << 8 | (minor & kMaxDeviceMinor);
}
inline constexpr std::uint32_t DeviceMajor(std::uint32_t size) { return (size >> 8) & kMaxDeviceMajor; }
inline constexpr std::uint32_t DeviceMinor(std::uint32_t size) { return size & kMaxDeviceMinor; }

// Data: blocks of this many bytes before compression, one 32-bit pointer each.
inline constexpr std::uint32_t kBlockSize = 4096;
inline constexpr std::size_t kBlockPointerSize = 4;

// Blocks of a file (or link target) of `length` bytes: the one count the
// writer, the reader and the check all use.
inline constexpr std::uint32_t BlockCount(std::uint32_t length) {
  return static_cast<std::uint32_t>((std::uint64_t{length} + kBlockSize - 1) / kBlockSize);
}

// The largest image the writer lets a tree grow to: the last file's pointer
// table may start at the largest offset an inode can hold, followed by the
// table of the largest file and that file's bytes (a block that does not
// shrink is taken as stored at its own length).
inline constexpr std::uint32_t kMaxImageSize = static_cast<std::uint32_t>(
    kMaxOffset + std::uint64_t{BlockCount(kMaxFileSize)} * kBlockPointerSize + kMaxFileSize);
static_assert(kMaxImageSize == 285229051, "cramfs field widths changed the largest image");
// A compressed block never takes more than this in an image we accept.
inline constexpr std::uint32_t kMaxCompressedBlock = 2 * kBlockSize;
// The image length is a multiple of this.
inline constexpr std::uint32_t kImageAlignment = 4096;
// Names and file data are padded to this.
inline constexpr std::uint32_t kEntryAlignment = 4;

inline constexpr std::uint32_t RoundUp(std::uint32_t value, std::uint32_t unit) {
  return (value + unit - 1) / unit * unit;
}

inline std::uint32_t GetLe32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

inline void PutLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

struct Inode {
  std::uint32_t mode = 0;
  std::uint32_t uid = 0;
  std::uint32_t size = 0;
  std::uint32_t gid = 0;
  std::uint32_t nameLength = 0;  // bytes, a multiple of 4
  std::uint32_t offset = 0;      // bytes, a multiple of 4
};

inline Inode DecodeInode(const std::uint8_t* p) {
  const std::uint32_t w0 = GetLe32(p), w1 = GetLe32(p + 4), w2 = GetLe32(p + 8);
  Inode in;
  in.mode = w0 & ((1u << kModeWidth) - 1);
  in.uid = w0 >> kModeWidth;
  in.size = w1 & ((1u << kSizeWidth) - 1);
  in.gid = w1 >> kSizeWidth;
  in.nameLength = (w2 & ((1u << kNameLenWidth) - 1)) * 4;
  in.offset = (w2 >> kNameLenWidth) * 4;
  return in;
}

// The caller keeps every field within its width (see the k*Width constants).
inline void EncodeInode(const Inode& in, std::uint8_t* p) {
  PutLe32(p, in.mode | in.uid << kModeWidth);
  PutLe32(p + 4, in.size | in.gid << kSizeWidth);
  PutLe32(p + 8, in.nameLength / 4 | (in.offset / 4) << kNameLenWidth);
}

// Points the inode at `inode` to `offset`, keeping its name length.
inline void SetInodeOffset(std::uint8_t* inode, std::uint32_t offset) {
  Inode in = DecodeInode(inode);
  in.offset = offset;
  EncodeInode(in, inode);
}

}  // namespace fsimage::cramfs
