// The BIFF8 record identifiers and field values this library reads and
// writes, named once so that no magic number appears twice in the tree.
// A BIFF8 stream is a sequence of records: a 2-byte identifier, a 2-byte
// payload length, then the payload, all little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace workbook::biff {

// Record identifiers.
inline constexpr std::uint16_t kRecordBof = 0x0809;
inline constexpr std::uint16_t kRecordEof = 0x000A;
inline constexpr std::uint16_t kRecordCodepage = 0x0042;
inline constexpr std::uint16_t kRecordWindow1 = 0x003D;
inline constexpr std::uint16_t kRecordFont = 0x0031;
inline constexpr std::uint16_t kRecordXf = 0x00E0;
inline constexpr std::uint16_t kRecordStyle = 0x0293;
inline constexpr std::uint16_t kRecordBoundSheet = 0x0085;
inline constexpr std::uint16_t kRecordSst = 0x00FC;
inline constexpr std::uint16_t kRecordExtSst = 0x00FF;
inline constexpr std::uint16_t kRecordContinue = 0x003C;
inline constexpr std::uint16_t kRecordFilePass = 0x002F;
inline constexpr std::uint16_t kRecordDimensions = 0x0200;
inline constexpr std::uint16_t kRecordWindow2 = 0x023E;
inline constexpr std::uint16_t kRecordLabelSst = 0x00FD;
inline constexpr std::uint16_t kRecordLabel = 0x0204;
inline constexpr std::uint16_t kRecordRString = 0x00D6;
inline constexpr std::uint16_t kRecordNumber = 0x0203;
inline constexpr std::uint16_t kRecordRk = 0x027E;
inline constexpr std::uint16_t kRecordMulRk = 0x00BD;
inline constexpr std::uint16_t kRecordBoolErr = 0x0205;
inline constexpr std::uint16_t kRecordFormula = 0x0006;
// The FORMULA id of Excel 4.0, which some writers still use in BIFF8 files;
// its layout is that of kRecordFormula.
inline constexpr std::uint16_t kRecordFormulaOld = 0x0406;
inline constexpr std::uint16_t kRecordString = 0x0207;

inline constexpr std::size_t kRecordHeaderSize = 4;
// Longest payload a BIFF8 record may carry; longer data goes on in CONTINUE.
inline constexpr std::size_t kMaxRecordPayload = 8224;

// BOF: version and substream types.
inline constexpr std::uint16_t kBofVersionBiff8 = 0x0600;
inline constexpr std::uint16_t kBofVersionBiff5 = 0x0500;
// BOF record ids of BIFF2, BIFF3 and BIFF4 (BIFF5 and later use kRecordBof).
inline constexpr std::uint16_t kRecordBofBiff2 = 0x0009;
inline constexpr std::uint16_t kRecordBofBiff3 = 0x0209;
inline constexpr std::uint16_t kRecordBofBiff4 = 0x0409;
inline constexpr std::uint16_t kBofTypeGlobals = 0x0005;
inline constexpr std::uint16_t kBofTypeWorksheet = 0x0010;
inline constexpr std::size_t kBofPayloadSize = 16;
// Build and year fields as Excel 97 writes them.
inline constexpr std::uint16_t kBofBuild = 0x0DBB;
inline constexpr std::uint16_t kBofYear = 0x07CC;
// BOF flags: the lowest-version and history fields of Excel 97.
inline constexpr std::uint32_t kBofHistoryFlags = 0x000100C1;
inline constexpr std::uint32_t kBofLowestVersion = 0x00000406;

// CODEPAGE 1200: every string of the file is UTF-16LE (compressed strings
// are UTF-16 with the zero high bytes left out).
inline constexpr std::uint16_t kCodepageUtf16 = 1200;

// BOUNDSHEET: sheet kind ("dt") and the offset of its stream position field.
inline constexpr std::uint8_t kSheetKindWorksheet = 0x00;
inline constexpr std::size_t kBoundSheetFixedSize = 6;  // lbPlyPos, hsState, dt

// Unicode string option byte.
inline constexpr std::uint8_t kStringHighByte = 0x01;  // characters are 16-bit
inline constexpr std::uint8_t kStringExtSt = 0x04;     // phonetic block follows
inline constexpr std::uint8_t kStringRichSt = 0x08;    // formatting runs follow
inline constexpr std::size_t kRichRunSize = 4;

// SST header: total and unique string counts.
inline constexpr std::size_t kSstHeaderSize = 8;
// EXTSST: strings per bucket at least 8, at most 128 buckets as Excel writes.
inline constexpr std::size_t kExtSstMinBucketStrings = 8;
inline constexpr std::size_t kExtSstMaxBuckets = 128;
inline constexpr std::size_t kExtSstEntrySize = 8;

// Cell records start with row, column and format (XF) index; the value
// follows the header.
inline constexpr std::size_t kCellRowOffset = 0;
inline constexpr std::size_t kCellColumnOffset = 2;
inline constexpr std::size_t kCellHeaderSize = 6;
inline constexpr std::size_t kCellValueOffset = kCellHeaderSize;
// LABELSST: a 4-byte index into the shared string table.
inline constexpr std::size_t kLabelSstIndexSize = 4;
// RK: a 4-byte packed number; NUMBER: an 8-byte double.
inline constexpr std::size_t kRkValueSize = 4;
inline constexpr std::size_t kNumberValueSize = 8;
// MULRK: row, first column, then (XF, RK) pairs, then the last column.
inline constexpr std::size_t kMulRkFirstColumnOffset = 2;
inline constexpr std::size_t kMulRkPairsOffset = 4;
inline constexpr std::size_t kMulRkPairSize = 6;
inline constexpr std::size_t kMulRkPairRkOffset = 2;
inline constexpr std::size_t kMulRkLastColumnSize = 2;
// BOOLERR: value byte, then the kind byte.
inline constexpr std::size_t kBoolErrValueOffset = kCellValueOffset;
inline constexpr std::size_t kBoolErrKindOffset = kCellValueOffset + 1;
// Shortest LABEL / RSTRING: header, 2-byte length, option byte.
inline constexpr std::size_t kLabelMinSize = kCellHeaderSize + 3;
// FORMULA: the cached result sits where a cell's value sits; a result that
// is not a number has 0xFFFF in its top two bytes and its kind in byte 0,
// its boolean or error value in byte 2.
inline constexpr std::size_t kFormulaResultOffset = kCellValueOffset;
inline constexpr std::size_t kFormulaResultTagOffset = 6;
inline constexpr std::uint16_t kFormulaResultNotNumber = 0xFFFF;
inline constexpr std::size_t kFormulaResultValueOffset = 2;
// BOUNDSHEET: where the sheet kind byte sits.
inline constexpr std::size_t kBoundSheetKindOffset = 5;
// STRING (a formula's text result): 2-byte length, option byte at least.
inline constexpr std::size_t kStringRecordMinSize = 3;

// FORMULA: an 8-byte cached result whose two top bytes are 0xFFFF when it
// is not a number; then byte 0 tells the kind.
inline constexpr std::size_t kFormulaMinSize = 20;
inline constexpr std::uint8_t kFormulaResultString = 0;
inline constexpr std::uint8_t kFormulaResultBoolean = 1;
inline constexpr std::uint8_t kFormulaResultError = 2;
inline constexpr std::uint8_t kFormulaResultEmpty = 3;

// BOOLERR: last byte 0 = boolean, 1 = error code.
inline constexpr std::size_t kBoolErrSize = 8;

// Formatting tables of a minimal valid globals substream.
inline constexpr int kFontCount = 5;         // index 4 is never referenced
inline constexpr int kStyleXfCount = 15;     // style XFs 0..14
inline constexpr std::uint16_t kDefaultCellXf = 15;
inline constexpr std::uint16_t kFontHeightTwips = 200;  // 10 pt
inline constexpr std::uint16_t kFontWeightNormal = 400;
inline constexpr std::uint16_t kColorAutomatic = 0x7FFF;
inline constexpr std::uint16_t kXfParentNone = 0x0FFF;
inline constexpr std::size_t kXfPayloadSize = 20;
inline constexpr std::uint16_t kStyleBuiltinNormal = 0x8000;  // built-in style of XF 0

// WINDOW2 option flags: gridlines, headers, zeros, automatic grid colour,
// outline symbols; the first sheet is also selected and shown.
inline constexpr std::uint16_t kWindow2Options = 0x00B6;
inline constexpr std::uint16_t kWindow2Selected = 0x0600;
inline constexpr std::uint16_t kWindow2GridColour = 64;

// The compound-file stream names: Excel 97 and later call it "Workbook",
// Excel 5.0/95 "Book"; some writers put BIFF8 into "Book" too, so the BOF
// record's version decides, not the name.
inline constexpr const char* kWorkbookStreamName = "Workbook";
inline constexpr const char* kBiff5StreamName = "Book";
// Excel does not open a workbook stream held in the compound file's small
// block area (under 4096 bytes), so short streams are padded.
inline constexpr std::size_t kMinWorkbookStreamSize = 4096;

}  // namespace workbook::biff
