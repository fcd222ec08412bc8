// The jffs2 on-flash layout, the one place that knows it: a sequence of
// nodes, each starting on a 4-byte boundary with a common 12-byte header
// (magic 0x1985, node type, total length, header CRC). mkfs.jffs2 writes
// either byte order (-l, -b); every field of an image is in the order of its
// first node's magic. Erased flash (0xFF) fills the gaps, e.g. at the end of
// an erase block a node did not fit into.
//
// The CRC of every field below is the plain CRC-32 (polynomial 0xEDB88320)
// seeded with 0 and without the final inversion.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fsimage::jffs2 {

inline constexpr std::uint16_t kMagic = 0x1985;
inline constexpr std::uint16_t kOldMagic = 0x1984;  // pre-release images: not read
inline constexpr std::uint32_t kErasedWord = 0xFFFFFFFF;
inline constexpr std::size_t kNodeAlignment = 4;

// Node type bits: a node whose "accurate" bit was cleared is obsolete; the
// feature bits say what a reader that does not know the type must do.
inline constexpr std::uint16_t kNodeAccurate = 0x2000;
inline constexpr std::uint16_t kFeatureMask = 0xC000;
inline constexpr std::uint16_t kFeatureIncompat = 0xC000;  // unknown: the image cannot be read
inline constexpr std::uint16_t kFeatureRoCompat = 0x8000;  // unknown: read-only use is safe
inline constexpr std::uint16_t kFeatureRwCompatCopy = 0x4000;
inline constexpr std::uint16_t kFeatureRwCompatDelete = 0x0000;

inline constexpr std::uint16_t kNodeTypeDirent = 0xE001;
inline constexpr std::uint16_t kNodeTypeInode = 0xE002;
inline constexpr std::uint16_t kNodeTypeCleanMarker = 0x2003;
inline constexpr std::uint16_t kNodeTypePadding = 0x2004;
inline constexpr std::uint16_t kNodeTypeSummary = 0x2006;
inline constexpr std::uint16_t kNodeTypeXattr = 0xE008;
inline constexpr std::uint16_t kNodeTypeXref = 0xE009;

// Common node header.
inline constexpr std::size_t kHeaderMagic = 0;     // u16
inline constexpr std::size_t kHeaderType = 2;      // u16
inline constexpr std::size_t kHeaderTotalLength = 4;  // u32, header included
inline constexpr std::size_t kHeaderCrc = 8;       // u32, over bytes [0, 8)
inline constexpr std::size_t kHeaderSize = 12;

// Directory entry node (struct jffs2_raw_dirent).
inline constexpr std::size_t kDirentParentIno = 12;  // u32
inline constexpr std::size_t kDirentVersion = 16;    // u32
inline constexpr std::size_t kDirentIno = 20;        // u32, 0: the name was removed
inline constexpr std::size_t kDirentTime = 24;       // u32
inline constexpr std::size_t kDirentNameSize = 28;   // u8
inline constexpr std::size_t kDirentType = 29;       // u8, DT_* of dirent.h
inline constexpr std::size_t kDirentNodeCrc = 32;    // u32, over bytes [0, 32)
inline constexpr std::size_t kDirentNameCrc = 36;    // u32, over the name
inline constexpr std::size_t kDirentSize = 40;       // the name follows

// Inode node (struct jffs2_raw_inode): one stretch of a file's data.
inline constexpr std::size_t kInodeIno = 12;         // u32
inline constexpr std::size_t kInodeVersion = 16;     // u32
inline constexpr std::size_t kInodeMode = 20;        // u32, st_mode
inline constexpr std::size_t kInodeUid = 24;         // u16
inline constexpr std::size_t kInodeGid = 26;         // u16
inline constexpr std::size_t kInodeFileSize = 28;    // u32, the file's size at this version
inline constexpr std::size_t kInodeAtime = 32;       // u32
inline constexpr std::size_t kInodeMtime = 36;       // u32
inline constexpr std::size_t kInodeCtime = 40;       // u32
inline constexpr std::size_t kInodeOffset = 44;      // u32, where the data goes in the file
inline constexpr std::size_t kInodeCompressedSize = 48;  // u32, bytes stored in the node
inline constexpr std::size_t kInodeDataSize = 52;    // u32, bytes after decompression
inline constexpr std::size_t kInodeCompression = 56; // u8
inline constexpr std::size_t kInodeUserCompression = 57;  // u8
inline constexpr std::size_t kInodeFlags = 58;       // u16
inline constexpr std::size_t kInodeDataCrc = 60;     // u32, over the stored data
inline constexpr std::size_t kInodeNodeCrc = 64;     // u32, over bytes [0, 60)
inline constexpr std::size_t kInodeSize = 68;        // the data follows

// Compression of an inode node's data.
inline constexpr std::uint8_t kComprNone = 0x00;
inline constexpr std::uint8_t kComprZero = 0x01;  // dsize zero bytes, nothing stored
inline constexpr std::uint8_t kComprRtime = 0x02;
inline constexpr std::uint8_t kComprRubinMips = 0x03;
inline constexpr std::uint8_t kComprCopy = 0x04;
inline constexpr std::uint8_t kComprDynRubin = 0x05;
inline constexpr std::uint8_t kComprZlib = 0x06;
inline constexpr std::uint8_t kComprLzo = 0x07;
inline constexpr std::uint8_t kComprLzma = 0x08;

// The inode number of the root folder.
inline constexpr std::uint32_t kRootIno = 1;

}  // namespace fsimage::jffs2
