#include "firmsmith/package/layout/raw_data.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "common/platform/file_ops.h"

namespace package {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::vector<std::uint8_t> ParseHeaderTemplate(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  std::size_t i = 0;
  while (bytes.size() < kHeaderTemplateMax) {
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i + 1 >= text.size()) break;
    int high = HexValue(text[i]);
    int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) break;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    i += 2;
  }
  return bytes;
}

bool WriteMtdData(const std::string& path, std::uint32_t start, std::uint32_t end) {
  if (end <= start) return false;
  const std::uint64_t blocks = (end - start) / 16;
  platform::OutputFile out;
  if (!out.Create(path)) return false;
  const std::vector<std::uint8_t> erased(64 * 1024, 0xFF);
  std::uint64_t left = blocks * 16;
  while (left > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, erased.size()));
    if (!out.Write(erased.data(), n)) return false;
    left -= n;
  }
  return out.Commit().ok;
}

std::uint64_t UbootLogoPaddedTotal(std::uint64_t logoSize) {
  const std::uint64_t total = logoSize + kUbootLogoOffset;
  if (total < kUbootLogoMinimumTotal) return kUbootLogoMinimumTotal;
  return (total / kUbootLogoPage + 1) * kUbootLogoPage;
}

UbootLogoResult WriteUbootLogoData(const std::string& path,
                                   const std::vector<std::uint8_t>& headerTemplate,
                                   const std::string& logoPath) {
  platform::InputFile logo;
  if (!logo.Open(logoPath)) return UbootLogoResult::kLogoUnreadable;
  const std::uint64_t logoSize = logo.size();
  if (logoSize >= kUbootLogoRefusedSize) return UbootLogoResult::kLogoTooBig;

  platform::OutputFile out;
  if (!out.Create(path)) return UbootLogoResult::kCreateFailed;
  const std::vector<std::uint8_t> zeros(kUbootLogoReserved, 0);
  if (!out.Write(headerTemplate.data(), headerTemplate.size()) ||
      !out.Write(zeros.data(), zeros.size()))
    return UbootLogoResult::kCreateFailed;

  std::vector<std::uint8_t> chunk(32768);
  std::uint64_t copied = 0;
  while (copied < logoSize) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), logoSize - copied));
    const std::size_t got = logo.Read(chunk.data(), want);
    if (got == 0) return UbootLogoResult::kLogoUnreadable;  // the file shrank under us
    if (!out.Write(chunk.data(), got)) return UbootLogoResult::kCreateFailed;
    copied += got;
  }

  const std::uint64_t total = logoSize + kUbootLogoOffset;
  const std::uint64_t padding = UbootLogoPaddedTotal(logoSize) - total;
  std::uint64_t left = padding;
  while (left > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
    if (!out.Write(zeros.data(), n)) return UbootLogoResult::kCreateFailed;
    left -= n;
  }
  return out.Commit() ? UbootLogoResult::kOk : UbootLogoResult::kCreateFailed;
}

}  // namespace package
