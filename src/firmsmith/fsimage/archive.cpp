#include "firmsmith/fsimage/archive.h"

#include <fcntl.h>
#include <limits.h>
#include <minizip/zip.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "common/platform/debuglog.h"
#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "common/platform/fd.h"
#include "common/platform/printable.h"
#include "common/zip/zip_reader.h"
#include "firmsmith/fsimage/entry_deflater.h"

namespace fsimage {
using zipfile::OpenZipArchive;
using zipfile::ReadZipDirectory;
using zipfile::ZipEntryInfo;
using zipfile::ZzipDir;
using zipfile::ZzipFile;

namespace {

// Entries are copied out in chunks of this size.
constexpr std::size_t kUnpackChunk = 40960;
// Entries carry no time of their own: DOS date 0x0020 (day 0 of January
// 1980, what a zeroed date structure encodes to) and DOS time 0.
constexpr std::uint32_t kEntryDosDate = 0x0020;
constexpr std::uint32_t kEntryDosTime = 0;

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) return std::string();
  return buf;
}

bool IsInside(const std::string& path, const std::string& root) {
  if (root == "/") return !path.empty() && path[0] == '/';
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

// Splits an entry name into its folder parts and its file name. False for a
// name that must not be written: empty, absolute, or with a ".." part.
bool SplitEntryName(const std::string& name, std::vector<std::string>* folders,
                    std::string* file) {
  if (name.empty() || name[0] == '/') return false;
  std::vector<std::string> parts;
  std::size_t begin = 0;
  while (begin <= name.size()) {
    std::size_t slash = name.find('/', begin);
    if (slash == std::string::npos) slash = name.size();
    std::string part = name.substr(begin, slash - begin);
    begin = slash + 1;
    if (part == "..") return false;
    if (part.empty() || part == ".") continue;
    parts.push_back(part);
  }
  // A name ending in "/" stands for a folder: no file part.
  bool folderEntry = name.back() == '/';
  if (!folderEntry && parts.empty()) return false;
  if (!folderEntry) {
    *file = parts.back();
    parts.pop_back();
  } else {
    file->clear();
  }
  *folders = std::move(parts);
  return true;
}

// Walks (and creates) the folders of an entry below `root` (a real path).
// A folder that is a symbolic link is followed only when it resolves inside
// the root. Returns the real path of the innermost folder, or "" when the
// entry must be skipped.
std::string EnterFolders(const std::string& root, const std::vector<std::string>& folders) {
  std::string current = root;
  for (const std::string& part : folders) {
    std::string next = platform::JoinPath(current, part);
    struct stat st {};
    if (::lstat(next.c_str(), &st) != 0) {
      if (::mkdir(next.c_str(), 0755) != 0) return std::string();
      current = next;
    } else if (S_ISLNK(st.st_mode)) {
      std::string resolved = RealPath(next);
      struct stat target {};
      if (resolved.empty() || !IsInside(resolved, root) || ::stat(resolved.c_str(), &target) != 0 ||
          !S_ISDIR(target.st_mode))
        return std::string();
      current = resolved;
    } else if (S_ISDIR(st.st_mode)) {
      current = next;
    } else {
      return std::string();
    }
  }
  return current;
}

// Creates or truncates the file of an entry in `folder` (a real path inside
// the root). An existing symbolic link is written through only when it
// resolves to a regular file inside the root.
// Invalid with *why empty for a file that must not be written, with the
// reason when it cannot be created.
platform::UniqueFd CreateEntryFile(const std::string& root, const std::string& folder,
                                   const std::string& name, std::string* createdPath,
                                   std::string* why) {
  std::string target = platform::JoinPath(folder, name);
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) {
      target = RealPath(target);
      if (target.empty() || !IsInside(target, root)) return platform::UniqueFd();
    } else if (!S_ISREG(st.st_mode)) {
      return platform::UniqueFd();
    }
  }
  // O_NOFOLLOW: no link swapped in meanwhile is followed.
  platform::UniqueFd fd =
      platform::OpenRegular(target, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644, why);
  if (fd.valid()) *createdPath = target;
  return fd;
}

// Writes one entry out. Entries that must not be written are skipped (see the
// contract); a file that cannot be created or written completely, or an entry
// that cannot be read, fails the unpack: a half-unpacked package must never
// pass for a whole one.
platform::Status ExtractEntry(ZZIP_DIR* dir, const std::string& archive, const std::string& name,
                              const ZipEntryInfo* info, const std::string& root,
                              std::vector<char>& chunk, const std::function<void(std::uint64_t)>& wrote,
                              const EntryDivert& divert) {
  std::vector<std::string> folders;
  std::string file;
  if (!SplitEntryName(name, &folders, &file)) {
    platform::DebugOutput("skip %s: leads outside the destination\n", name.c_str());
    return platform::Status::Ok();
  }
  std::string folder = EnterFolders(root, folders);
  if (folder.empty()) {
    platform::DebugOutput("skip %s: its folder cannot be made inside the destination\n",
                          name.c_str());
    return platform::Status::Ok();
  }
  if (file.empty()) return platform::Status::Ok();  // a folder entry: the folder is there now

  ZzipFile entry(zzip_file_open(dir, name.c_str(), 0));
  if (!entry) return platform::Status::Fail("cannot read the entry " + platform::Printable(name) + " of the archive");
  // An entry at the top whose place is free (or a plain file) may go to the
  // caller's sink instead: then its file is never written.
  std::unique_ptr<EntrySink> sink;
  if (divert && folders.empty()) {
    struct stat st {};
    const std::string place = platform::JoinPath(folder, file);
    if (::lstat(place.c_str(), &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode)) sink = divert(file);
  }
  std::string path;
  std::string why;
  platform::UniqueFd out;
  if (!sink) {
    out = CreateEntryFile(root, folder, file, &path, &why);
    if (!out.valid()) {
      if (why.empty()) {
        platform::DebugOutput("skip %s: its file is a link leading out or no regular file\n",
                              name.c_str());
        return platform::Status::Ok();
      }
      return platform::Status::Fail(why);
    }
  }
  // A damaged entry or a short write leaves no half-written file behind
  // (a sink dropped unfinished removes its own).
  const auto drop = [&] {
    sink.reset();
    if (!out.valid()) return;
    out.Reset();
    ::unlink(path.c_str());
  };
  uLong crc = ::crc32(0L, Z_NULL, 0);
  const bool sinkTakesCrc = sink && sink->TakesCrc();
  std::uint64_t written = 0;
  for (;;) {
    zzip_ssize_t n = zzip_file_read(entry.get(), chunk.data(), chunk.size());
    if (n == 0) break;
    platform::Status failed;
    if (n < 0) {
      failed = platform::Status::Fail(zipfile::ShownEntry(name, archive) + " is damaged: its data cannot be inflated");
    } else if (info != nullptr && written + static_cast<std::uint64_t>(n) > info->size) {
      // An entry may not inflate past the size the directory gives it.
      failed = platform::Status::Fail(zipfile::ShownEntry(name, archive) + " is damaged: longer than the " +
                                      std::to_string(info->size) + " bytes the directory says");
    } else if (sink) {
      failed = sink->Write(reinterpret_cast<const std::uint8_t*>(chunk.data()), static_cast<std::size_t>(n));
    } else if (!platform::WriteFull(out.get(), chunk.data(), static_cast<std::size_t>(n))) {
      failed = platform::FailErrno("cannot write " + path);
    }
    if (!failed.ok) {
      drop();
      return failed;
    }
    if (!sinkTakesCrc) crc = ::crc32(crc, reinterpret_cast<const Bytef*>(chunk.data()), static_cast<uInt>(n));
    written += static_cast<std::uint64_t>(n);
    wrote(static_cast<std::uint64_t>(n));
  }
  if (sinkTakesCrc) crc = sink->Crc();
  // zziplib compares nothing: the entry's CRC-32 and size are checked here.
  if (info != nullptr && (static_cast<std::uint32_t>(crc) != info->crc || written != info->size)) {
    drop();
    char text[192];
    std::snprintf(text, sizeof text, ": %llu bytes with CRC-32 0x%08x, the directory says %llu with 0x%08x",
                  static_cast<unsigned long long>(written), static_cast<unsigned>(crc),
                  static_cast<unsigned long long>(info->size), static_cast<unsigned>(info->crc));
    return platform::Status::Fail(zipfile::ShownEntry(name, archive) + " is damaged" + text);
  }
  if (sink) {
    platform::Status finished = sink->Finish();
    if (!finished) drop();
    return finished;
  }
  if (::close(out.Release()) != 0) {
    platform::Status failed = platform::FailErrno("cannot write " + path);
    ::unlink(path.c_str());
    return failed;
  }
  return platform::Status::Ok();
}

// minizip reports a failed write only as ZIP_ERRNO; errno (cleared before
// the call) tells the cause when the C library set one.
platform::Status ZipWriteFailure(const std::string& archive, const std::string& name) {
  return platform::FailErrno("cannot write " + archive + " (entry " + name + ")",
                             errno != 0 ? errno : EIO);
}

// A file of the tree to pack, in walk order.
struct PackedFile {
  std::string path;
  std::string name;  // the entry's name: the bare file name
};

// One entry of the archive taking raw deflate data, opened with the first
// bytes, when the text mark is known: minizip gives the mark of an entry it
// deflated itself in the central directory; a raw entry needs it given.
class RawZipEntry {
 public:
  RawZipEntry(zipFile zip, const std::string& archive, const std::string& name)
      : zip_(zip), archive_(archive), name_(name) {}
  RawZipEntry(const RawZipEntry&) = delete;
  RawZipEntry& operator=(const RawZipEntry&) = delete;

  platform::Status Write(const unsigned char* data, std::size_t size, bool text) {
    if (!open_) {
      zip_fileinfo info{};
      info.dosDate = (kEntryDosDate << 16) | kEntryDosTime;
      if (text) info.internal_fa = Z_TEXT;
      errno = 0;
      if (zipOpenNewFileInZip2_64(zip_, name_.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                  Z_DEFAULT_COMPRESSION, 1, 0) != ZIP_OK)
        return ZipWriteFailure(archive_, name_);
      open_ = true;
    }
    errno = 0;
    if (size != 0 && zipWriteInFileInZip(zip_, data, static_cast<unsigned>(size)) != ZIP_OK)
      return ZipWriteFailure(archive_, name_);
    return platform::Status::Ok();
  }

  // Ends the entry when it was opened, with the CRC-32 and size of the
  // file's bytes; a failed entry is ended too, so the archive stays whole.
  platform::Status Close(const DeflatedEntry* entry) {
    if (!open_) return platform::Status::Ok();
    open_ = false;
    errno = 0;
    if (zipCloseFileInZipRaw64(zip_, entry != nullptr ? entry->size : 0, entry != nullptr ? entry->crc : 0) !=
        ZIP_OK)
      return ZipWriteFailure(archive_, name_);
    return platform::Status::Ok();
  }

 private:
  zipFile zip_;
  const std::string& archive_;
  const std::string& name_;
  bool open_ = false;
};

// Every file of the tree becomes an entry named by its bare name: two files
// of one name would give two entries of which a reader sees only one.
// Fails naming both, before anything is written.
// Collects the files in walk order, with the sum of their sizes.
platform::Status CheckEntryNames(const std::string& root, const std::string& relative, const struct stat& self,
                                 std::map<std::string, std::string>* seen, std::vector<PackedFile>* files,
                                 std::uint64_t* total) {
  const std::string folder = relative.empty() ? root : platform::JoinPath(root, relative);
  std::vector<platform::FolderEntry> entries;
  if (platform::Status listed = platform::ListFolder(folder, &entries); !listed) return listed;
  for (const platform::FolderEntry& e : entries) {
    const std::string path = relative.empty() ? e.name : relative + "/" + e.name;
    if (e.isDirectory) {
      if (platform::Status inner = CheckEntryNames(root, path, self, seen, files, total); !inner)
        return inner;
      continue;
    }
    struct stat st {};
    const std::string full = platform::JoinPath(root, path);
    const bool known = ::lstat(full.c_str(), &st) == 0;
    if (known && st.st_dev == self.st_dev && st.st_ino == self.st_ino) continue;  // the archive itself
    const auto [at, added] = seen->emplace(e.name, path);
    if (!added)
      return platform::Status::Fail("cannot pack " + root + ": " + at->second + " and " + path +
                                    " would both be the entry " + e.name);
    files->push_back({full, e.name});
    if (known) *total += static_cast<std::uint64_t>(st.st_size);
  }
  return platform::Status::Ok();
}

// The entries of `earlier` that may stand for the files to pack, by bare
// name. The archive being written is never one: it is empty now. Anything
// wrong with `earlier` only means nothing is copied.
EarlierArchive EarlierEntries(const std::string& earlier, const std::vector<PackedFile>& files,
                              const struct stat& self) {
  EarlierArchive result;
  if (earlier.empty()) return result;
  auto none = [&](const std::string& why) {
    platform::DebugOutput("pack: nothing copied from %s: %s\n", earlier.c_str(), why.c_str());
    return EarlierArchive();
  };
  std::string reason;
  result.fd = platform::OpenRegularForReading(earlier, &reason);
  if (!result.fd.valid()) return none(reason);
  struct stat st {};
  if (::fstat(result.fd.get(), &st) != 0) return none(platform::ErrnoReason("cannot read " + earlier));
  if (st.st_dev == self.st_dev && st.st_ino == self.st_ino) return none("it is the archive being written");
  std::vector<ZipEntryInfo> entries;
  if (platform::Status read = ReadZipDirectory(earlier, kMaxUnpackedEntrySize, &entries); !read)
    return none(read.message);
  std::map<std::string, const ZipEntryInfo*> byName;
  for (const ZipEntryInfo& e : entries) byName[e.name] = &e;
  result.path = earlier;
  result.entries.resize(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto found = byName.find(files[i].name);
    if (found != byName.end()) result.entries[i] = *found->second;
  }
  return result;
}

void Tell(platform::Status* why, platform::Status status) {
  if (!status.ok) platform::DebugOutput("%s\n", status.message.c_str());
  if (why != nullptr) *why = std::move(status);
}

}  // namespace

int UnpackArchive(const std::string& archive, const std::string& destination,
                  platform::Status* why, std::uint64_t budget, const ByteCount& count,
                  const EntryDivert& divert) {
  platform::Status opened;
  ZzipDir dir = OpenZipArchive(archive, &opened);
  if (!dir) {
    Tell(why, opened);
    return -1;
  }
  // Refused before anything is written: nothing half-unpacked remains.
  std::vector<ZipEntryInfo> entries;
  if (platform::Status checked = ReadZipDirectory(archive, kMaxUnpackedEntrySize, &entries); !checked) {
    Tell(why, checked);
    return -1;
  }
  // Sizes are checked as each entry is written, so the directory's sum is
  // what the unpack writes at most.
  std::uint64_t total = 0;
  for (const ZipEntryInfo& e : entries) {
    total += e.size;
    if (total > budget) {
      Tell(why, platform::Status::Fail(OverBudgetMessage(archive, budget)));
      return -1;
    }
  }

  std::string root = RealPath(destination);
  if (root.empty()) {
    if (::mkdir(destination.c_str(), 0755) != 0) {
      Tell(why, platform::FailErrno("cannot create folder " + destination));
      return -1;
    }
    root = RealPath(destination);
    if (root.empty()) {
      Tell(why, platform::FailErrno("cannot enter folder " + destination));
      return -1;
    }
  }
  if (!platform::IsDirectory(root)) {
    Tell(why, platform::Status::Fail("cannot unpack into " + destination + ": not a folder"));
    return -1;
  }
  std::map<std::string, const ZipEntryInfo*> byName;
  for (const ZipEntryInfo& e : entries) byName[e.name] = &e;
  std::vector<char> chunk(kUnpackChunk);
  std::uint64_t done = 0;
  const std::function<void(std::uint64_t)> wrote = [&](std::uint64_t n) {
    done += n;
    if (count) count(done < total ? done : total, total);
  };
  ZZIP_DIRENT entry;
  platform::Status status;
  while (zzip_dir_read(dir.get(), &entry)) {
    if (entry.d_name == nullptr) continue;
    std::string name = entry.d_name;
    platform::TraceOutput("extract:%s\n", name.c_str());
    auto found = byName.find(name);
    // Every entry is bounded by the directory read above; one it does not
    // hold would be unbounded.
    status = found == byName.end()
                 ? platform::Status::Fail(zipfile::ShownEntry(name, archive) + " is not in its central directory")
                 : ExtractEntry(dir.get(), archive, name, found->second, root, chunk, wrote, divert);
    if (!status) break;
  }
  std::fflush(stdout);
  // Entries skipped as leading outside count as done.
  if (status.ok && count && done != total) count(total, total);
  Tell(why, status);
  return status.ok ? 0 : -1;
}

namespace {

// minizip's open, handed the descriptor we opened (see OpenArchiveForWriting).
voidpf OpenGivenDescriptor(voidpf opaque, const void* /*name*/, int /*mode*/) {
  int* fd = static_cast<int*>(opaque);
  std::FILE* stream = ::fdopen(*fd, "wb");
  if (stream != nullptr) *fd = -1;  // the stream owns it now
  return stream;
}

// Opens `archive` for PackFolder and fills `self` with what it is. An
// archive already there (the partial file of a run's output) is opened, never
// made anew by name: a signal's cleanup that has just removed it must not see
// it come back behind it. Neither is written through a link, nor is a FIFO or
// device opened.
zipFile OpenArchiveForWriting(const std::string& archive, struct stat* self, platform::Status* why) {
  struct stat there {};
  const bool exists = ::lstat(archive.c_str(), &there) == 0;
  if (exists && S_ISDIR(there.st_mode)) {
    *why = platform::FailErrno("cannot create the archive " + archive, EISDIR);
    return nullptr;
  }
  if (exists && !S_ISREG(there.st_mode)) {
    *why = platform::Status::Fail("cannot create the archive " + archive +
                                  (S_ISLNK(there.st_mode) ? ": a symbolic link, which is never followed"
                                                          : ": not a regular file (a FIFO, socket or device)"));
    return nullptr;
  }
  const int flags = O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | (exists ? 0 : O_CREAT | O_EXCL);
  platform::UniqueFd out(platform::RetryOnInterrupt([&] { return ::open(archive.c_str(), flags, 0666); }));
  if (!out.valid() || ::fstat(out.get(), self) != 0) {
    *why = platform::FailErrno("cannot create the archive " + archive);
    return nullptr;
  }
  int fd = out.get();
  zlib_filefunc64_def io;
  fill_fopen64_filefunc(&io);
  io.zopen64_file = OpenGivenDescriptor;
  io.opaque = &fd;
  errno = 0;
  zipFile zip = zipOpen2_64(archive.c_str(), APPEND_STATUS_CREATE, nullptr, &io);
  if (fd < 0) out.Release();  // the stream took it; zipClose closes it
  if (zip == nullptr)
    *why = platform::FailErrno("cannot create the archive " + archive, errno != 0 ? errno : EIO);
  return zip;
}

}  // namespace

int PackFolder(const std::string& folder, const std::string& archive, platform::Status* why,
               const PackOptions& options) {
  // A folder that is not there would quietly give an empty package.
  struct stat folderStat {};
  if (::stat(folder.c_str(), &folderStat) != 0) {
    Tell(why, platform::FailErrno("cannot pack folder " + folder));
    return -1;
  }
  if (!S_ISDIR(folderStat.st_mode)) {
    Tell(why, platform::Status::Fail("cannot pack " + folder + ": not a folder"));
    return -1;
  }

  // The archive may lie inside the folder; it must not pack itself.
  struct stat self {};
  ::stat(archive.c_str(), &self);
  std::map<std::string, std::string> names;
  std::vector<PackedFile> files;
  std::uint64_t total = 0;
  if (platform::Status unique = CheckEntryNames(folder, std::string(), self, &names, &files, &total); !unique) {
    Tell(why, unique);
    return -1;
  }
  // Listed before the scratch folder is made, so it is never packed even
  // when it lies inside the folder.
  platform::TempFolder scratch;
  if (platform::Status made = scratch.Create(options.scratchParent, "pack-"); !made) {
    Tell(why, made);
    return -1;
  }

  platform::Status opened;
  zipFile zip = OpenArchiveForWriting(archive, &self, &opened);
  if (zip == nullptr) {
    Tell(why, opened);
    return -1;
  }
  std::vector<std::string> paths;
  paths.reserve(files.size());
  for (const PackedFile& f : files) paths.push_back(f.path);
  platform::Status status;
  std::size_t copied = 0;
  {
    EntryDeflater deflater(std::move(paths), scratch.path(), kMaxPackedFileSize, self.st_dev, self.st_ino,
                           options.workers, EarlierEntries(options.reuseFrom, files, self));
    std::function<void(std::uint64_t)> tick;
    if (options.count)
      tick = [&](std::uint64_t read) { options.count(read < total ? read : total, total); };
    for (std::size_t i = 0; i < files.size() && status.ok; ++i) {
      RawZipEntry zipEntry(zip, archive, files[i].name);
      const DeflateSink sink = [&](const unsigned char* data, std::size_t size, bool text) {
        return zipEntry.Write(data, size, text);
      };
      const DeflatedEntry* entry = nullptr;
      status = deflater.Take(i, sink, tick, &entry);
      // Deflate data are never empty; an entry is opened all the same.
      if (status.ok && !entry->skipped) status = sink(nullptr, 0, entry->text);
      if (status.ok && entry->copied) ++copied;
      platform::Status closed = zipEntry.Close(status.ok ? entry : nullptr);
      if (status.ok) status = std::move(closed);
    }
  }  // the workers are stopped here, before their scratch folder goes
  if (status.ok && options.count) options.count(total, total);
  if (!options.reuseFrom.empty())
    platform::DebugOutput("pack %s: %zu of %zu entries copied from %s\n", archive.c_str(), copied, files.size(),
                          options.reuseFrom.c_str());
  errno = 0;
  if (zipClose(zip, nullptr) != ZIP_OK && status.ok)
    status = platform::FailErrno("cannot write the archive " + archive, errno != 0 ? errno : EIO);
  Tell(why, status);
  return status.ok ? 0 : -1;
}

}  // namespace fsimage
