#include "firmsmith/check/image_entry.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <utility>

#include "common/platform/fd.h"
#include "common/platform/files.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/fsimage/image_probe.h"

namespace check {
namespace {

constexpr const char kImageSuffix[] = ".img";

bool IsImageName(const std::string& name) {
  const std::size_t n = sizeof kImageSuffix - 1;
  return name.size() >= n && name.compare(name.size() - n, n, kImageSuffix) == 0;
}

class ImageEntrySink : public fsimage::EntrySink {
 public:
  ImageEntrySink(std::string name, const std::string& unpacked, const std::string& payloads,
                 std::map<std::string, ImageReport>* images)
      : name_(std::move(name)),
        unpackedPath_(platform::JoinPath(unpacked, name_)),
        payloadPath_(platform::JoinPath(payloads, name_)),
        images_(images) {}

  ~ImageEntrySink() override {
    // Unfinished: the entry was damaged; its payload is no payload.
    if (!finished_ && payload_.valid()) {
      payload_.Reset();
      ::unlink(payloadPath_.c_str());
    }
  }

  platform::Status Write(const std::uint8_t* data, std::size_t size) override {
    size_ += size;
    if (head_.size() < fsimage::IH_SIZE) {
      const std::size_t take = std::min(fsimage::IH_SIZE - head_.size(), size);
      head_.append(reinterpret_cast<const char*>(data), take);
      data += take;
      size -= take;
      if (head_.size() < fsimage::IH_SIZE) return platform::Status::Ok();
      if (platform::Status opened = OpenPayload(); !opened) return opened;
      // Data of size 0: its CRC is that of nothing.
      if (header_.dataSize == 0) {
        dataCrc_ = payloadCrc_;
        dataCrcTaken_ = true;
      }
    }
    if (size == 0) return platform::Status::Ok();
    if (!platform::WriteFull(payload_.get(), data, size)) return platform::FailErrno("cannot write " + payloadPath_);
    // One CRC-32 runs over the whole payload; the header's data CRC is what
    // it was at the data size, however many bytes follow.
    const std::uint64_t before = header_.dataSize > payloadBytes_ ? header_.dataSize - payloadBytes_ : 0;
    const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(before, size));
    payloadCrc_ = ::crc32(payloadCrc_, data, static_cast<uInt>(first));
    payloadBytes_ += first;
    if (payloadBytes_ == header_.dataSize && !dataCrcTaken_) {
      dataCrc_ = payloadCrc_;
      dataCrcTaken_ = true;
    }
    payloadCrc_ = ::crc32(payloadCrc_, data + first, static_cast<uInt>(size - first));
    payloadBytes_ += size - first;
    return platform::Status::Ok();
  }

  bool TakesCrc() const override { return true; }
  std::uint32_t Crc() const override {
    const uLong head = ::crc32(0L, reinterpret_cast<const Bytef*>(head_.data()), static_cast<uInt>(head_.size()));
    if (head_.size() < fsimage::IH_SIZE) return static_cast<std::uint32_t>(head);
    return static_cast<std::uint32_t>(::crc32_combine(head, payloadCrc_, static_cast<z_off_t>(payloadBytes_)));
  }

  platform::Status Finish() override {
    // An entry shorter than a header is kept whole, as any other entry.
    if (head_.size() < fsimage::IH_SIZE) {
      if (platform::Status kept = platform::WriteFileAtomic(unpackedPath_, head_); !kept) return kept;
      images_->erase(name_);
      finished_ = true;
      return platform::Status::Ok();
    }
    if (::close(payload_.Release()) != 0) return platform::FailErrno("cannot write " + payloadPath_);
    finished_ = true;
    // An earlier entry of the same file name is replaced, as its file would be.
    ::unlink(unpackedPath_.c_str());
    ImageReport image;
    image.name = name_;
    image.size = size_;
    image.image = true;
    image.header = header_;
    image.headerBytes = head_;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(head_.data());
    image.headerCheck.magicOk = header_.magic == fsimage::IH_MAGIC;
    image.headerCheck.headerCrcOk = fsimage::ComputeHeaderCrc(bytes) == header_.headerCrc;
    image.headerCheck.dataComplete = dataCrcTaken_;
    image.headerCheck.dataCrcOk = dataCrcTaken_ && static_cast<std::uint32_t>(dataCrc_) == header_.dataCrc;
    image.payloadSize = payloadBytes_;
    image.payloadPath = payloadPath_;
    image.fsKind = fsimage::DetectImageKind(fsimage::kProbeBareImage, payloadPath_, "", 0);
    (*images_)[name_] = std::move(image);
    return platform::Status::Ok();
  }

 private:
  platform::Status OpenPayload() {
    header_ = fsimage::DecodeImageHeader(reinterpret_cast<const std::uint8_t*>(head_.data()));
    std::string why;
    payload_ = platform::OpenRegular(payloadPath_, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644, &why);
    if (!payload_.valid()) return platform::Status::Fail(why);
    return platform::Status::Ok();
  }

  const std::string name_;
  const std::string unpackedPath_;
  const std::string payloadPath_;
  std::map<std::string, ImageReport>* const images_;
  std::string head_;  // the first IH_SIZE bytes, as they came
  fsimage::ImageHeader header_;
  platform::UniqueFd payload_;
  std::uint64_t size_ = 0;
  uLong payloadCrc_ = ::crc32(0L, Z_NULL, 0);  // of every payload byte so far
  std::uint64_t payloadBytes_ = 0;
  uLong dataCrc_ = 0;  // of the header's data size, once that many came
  bool dataCrcTaken_ = false;
  bool finished_ = false;
};

}  // namespace

fsimage::EntryDivert DivertImageEntries(const std::string& unpacked, const std::string& payloads,
                                        std::map<std::string, ImageReport>* images) {
  return [unpacked, payloads, images](const std::string& name) -> std::unique_ptr<fsimage::EntrySink> {
    if (!IsImageName(name)) return nullptr;
    return std::make_unique<ImageEntrySink>(name, unpacked, payloads, images);
  };
}

}  // namespace check
