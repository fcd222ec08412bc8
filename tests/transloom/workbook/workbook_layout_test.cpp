// The record layout of the files we write, checked against the sequence a
// known-good writer uses: globals with code page UTF-16, five fonts, fifteen
// style XFs and the cell XF, sheet records pointing at their substreams,
// SST with CONTINUE records and an EXTSST whose offsets are right; each
// sheet with exact DIMENSIONS.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transloom/workbook/biff_records.h"
#include "transloom/workbook/byte_io.h"
#include "transloom/workbook/cfb_container.h"
#include "transloom/workbook/workbook.h"

namespace {

namespace biff = workbook::biff;
using workbook::bytes::Get16;
using workbook::bytes::Get32;

struct Rec {
  std::uint16_t id;
  std::size_t offset;
  const std::uint8_t* data;
  std::size_t size;
};

std::vector<Rec> Records(const std::vector<std::uint8_t>& s, std::size_t from) {
  std::vector<Rec> out;
  std::size_t pos = from;
  while (pos + 4 <= s.size()) {
    const Rec r{Get16(&s[pos]), pos, &s[pos + 4], Get16(&s[pos + 2])};
    out.push_back(r);
    pos += 4 + r.size;
    if (r.id == biff::kRecordEof) break;
  }
  return out;
}

class WrittenLayout : public ::testing::Test {
 protected:
  void SetUp() override {
    workbook::Workbook book;
    workbook::Sheet* a = book.AddSheet("Alpha");
    // 3,000 distinct texts: an SST over several records and EXTSST buckets.
    for (int r = 0; r < 3000; ++r) a->WriteText(r + 2, 1, "text number " + std::to_string(r) + " Ω");
    a->WriteNumber(3001, 4, 1.5);
    book.AddSheet("Beta")->WriteText(5, 3, "");
    std::vector<std::uint8_t> file;
    ASSERT_TRUE(book.SaveToMemory(&file).ok);
    ASSERT_TRUE(workbook::cfb::ReadWorkbookStream(file.data(), file.size(), &stream_).ok);
  }
  std::vector<std::uint8_t> stream_;
};

TEST_F(WrittenLayout, GlobalsFollowTheKnownGoodSequence) {
  const std::vector<Rec> g = Records(stream_, 0);
  std::vector<std::uint16_t> ids;
  for (const Rec& r : g) ids.push_back(r.id);
  std::vector<std::uint16_t> expected = {biff::kRecordBof, biff::kRecordCodepage, biff::kRecordWindow1};
  expected.insert(expected.end(), 5, biff::kRecordFont);
  expected.insert(expected.end(), 16, biff::kRecordXf);
  expected.push_back(biff::kRecordStyle);
  expected.insert(expected.end(), 2, biff::kRecordBoundSheet);
  expected.push_back(biff::kRecordSst);
  const auto sst = std::find(ids.begin(), ids.end(), biff::kRecordSst);
  const auto continues = std::find_if(sst + 1, ids.end(), [](auto id) { return id != biff::kRecordContinue; });
  ASSERT_GT(continues - sst, 1) << "3,000 texts take CONTINUE records";
  std::vector<std::uint16_t> head(ids.begin(), sst + 1);
  EXPECT_EQ(head, expected);
  EXPECT_EQ(std::vector<std::uint16_t>(continues, ids.end()),
            (std::vector<std::uint16_t>{biff::kRecordExtSst, biff::kRecordEof}));
  EXPECT_EQ(Get16(g[0].data), biff::kBofVersionBiff8);
  EXPECT_EQ(Get16(g[1].data), 1200);
  for (const Rec& r : g) EXPECT_LE(r.size, biff::kMaxRecordPayload);
  // Style XFs 0..14 have no parent; XF 15 is a cell XF.
  for (int i = 0; i < 16; ++i) EXPECT_EQ((Get16(g[8 + i].data + 4) & 0x4) != 0, i < 15) << i;
}

TEST_F(WrittenLayout, ExtSstPointsAtEveryBucketsFirstString) {
  const std::vector<Rec> g = Records(stream_, 0);
  const auto ext = std::find_if(g.begin(), g.end(), [](const Rec& r) { return r.id == biff::kRecordExtSst; });
  ASSERT_NE(ext, g.end());
  const std::size_t perBucket = Get16(ext->data);
  const std::size_t buckets = (ext->size - 2) / 8;
  EXPECT_GE(perBucket, 8u);
  EXPECT_EQ(buckets, (3001 + perBucket - 1) / perBucket);  // 3,000 texts and ""
  for (std::size_t b = 0; b < buckets; ++b) {
    const std::uint32_t at = Get32(ext->data + 2 + 8 * b);
    const std::uint16_t inRecord = Get16(ext->data + 6 + 8 * b);
    // The record holding the string starts inRecord bytes earlier and is an
    // SST or CONTINUE; the string there is the bucket's first.
    ASSERT_GE(at, inRecord);
    const std::uint16_t holder = Get16(&stream_[at - inRecord]);
    EXPECT_TRUE(holder == biff::kRecordSst || holder == biff::kRecordContinue) << b;
    const std::string expected = "text number " + std::to_string(b * perBucket);
    ASSERT_LE(at + 3 + expected.size() * 2, stream_.size());
    const std::size_t length = Get16(&stream_[at]);
    const bool wide = stream_[at + 2] & 1;
    if (b * perBucket < 3000) {
      EXPECT_EQ(length, expected.size() + 2) << b;
      EXPECT_TRUE(wide);
      // The header and first character are never split from each other.
      EXPECT_EQ(Get16(&stream_[at + 3]), 't') << b;
    }
  }
}

TEST_F(WrittenLayout, SheetRecordsPointAtSheetsWithExactDimensions) {
  const std::vector<Rec> g = Records(stream_, 0);
  std::vector<std::uint32_t> offsets;
  for (const Rec& r : g)
    if (r.id == biff::kRecordBoundSheet) offsets.push_back(Get32(r.data));
  ASSERT_EQ(offsets.size(), 2u);
  struct Dim {
    std::uint32_t rowFirst, rowLimit;
    std::uint16_t columnFirst, columnLimit;
  };
  const Dim expected[] = {{2, 3002, 1, 5}, {5, 6, 3, 4}};
  for (std::size_t s = 0; s < 2; ++s) {
    const std::vector<Rec> sheet = Records(stream_, offsets[s]);
    ASSERT_GE(sheet.size(), 4u);
    EXPECT_EQ(sheet[0].id, biff::kRecordBof);
    EXPECT_EQ(Get16(sheet[0].data + 2), biff::kBofTypeWorksheet);
    ASSERT_EQ(sheet[1].id, biff::kRecordDimensions);
    EXPECT_EQ(Get32(sheet[1].data), expected[s].rowFirst);
    EXPECT_EQ(Get32(sheet[1].data + 4), expected[s].rowLimit);
    EXPECT_EQ(Get16(sheet[1].data + 8), expected[s].columnFirst);
    EXPECT_EQ(Get16(sheet[1].data + 10), expected[s].columnLimit);
    EXPECT_EQ(sheet[sheet.size() - 2].id, biff::kRecordWindow2);
    EXPECT_EQ(sheet.back().id, biff::kRecordEof);
  }
}

}  // namespace
