#include "cramfs_test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "firmsmith/fsimage/cramfs_writer.h"
#include "test_support.h"

namespace cramfstest {

namespace fs = std::filesystem;
using namespace fsimage::cramfs;

void PutFile(const std::string& root, const std::string& relative, const std::string& content) {
  testsupport::WriteFile(root + "/" + relative, content);
}

void PutFolder(const std::string& root, const std::string& relative) {
  fs::create_directories(root + "/" + relative);
}

TreeListing ListTree(const std::string& root) {
  TreeListing out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
    const std::string rel = it->path().lexically_relative(root).string();
    const fs::file_status status = it->symlink_status();
    struct stat st {};
    ::lstat(it->path().c_str(), &st);
    if (fs::is_symlink(status)) {
      out[rel] = "link -> " + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(status)) {
      out[rel] = "dir";
    } else if (fs::is_character_file(status) || fs::is_block_file(status)) {
      out[rel] = std::string(fs::is_character_file(status) ? "char " : "block ") +
                 std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    } else if (fs::is_fifo(status)) {
      out[rel] = "fifo";
    } else if (fs::is_socket(status)) {
      out[rel] = "socket";
    } else {
      const std::string content = testsupport::ReadFile(it->path().string());
      out[rel] = "file " + std::to_string(content.size()) + " " +
                 std::to_string(std::hash<std::string>{}(content));
    }
  }
  return out;
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes BuildImage(const std::string& source, const std::string& image) {
  std::string why;
  const int rc = fsimage::BuildCramfsImage(source, image, &why);
  EXPECT_EQ(rc, 0) << why;
  return rc == 0 ? ReadBytes(image) : Bytes();
}

std::string DeviceRootHostFile() {
  for (const char* candidate : {"/usr/lib/x86_64-linux-gnu/libz.so.1", "/lib/x86_64-linux-gnu/libz.so.1",
                                "/usr/lib/os-release", "/etc/os-release", "/bin/sh"}) {
    std::error_code ec;
    const fs::path real = fs::canonical(candidate, ec);
    if (!ec && fs::is_regular_file(real) && fs::file_size(real) > 0) return real.string();
  }
  return "/bin/sh";
}

const std::vector<std::string>& DeviceRootApplets() {
  static const std::vector<std::string> applets = {
      "bin/ash",     "bin/cat",     "bin/chmod",  "bin/cp",       "bin/date",     "bin/dd",
      "bin/df",      "bin/echo",    "bin/grep",   "bin/kill",     "bin/ln",       "bin/ls",
      "bin/mkdir",   "bin/mount",   "bin/mv",     "bin/ps",       "bin/rm",       "bin/sh",
      "bin/sleep",   "bin/umount",  "sbin/ifconfig", "sbin/init", "sbin/insmod",  "sbin/reboot",
      "sbin/route",  "usr/bin/free", "usr/bin/killall", "usr/bin/tftp", "usr/bin/top", "usr/sbin/telnetd"};
  return applets;
}

DeviceRoot MakeDeviceRoot(const std::string& root, bool nodes) {
  DeviceRoot made;
  made.hostFile = DeviceRootHostFile();
  PutFile(root, "bin/busybox", TextContent(70000, 21));
  for (const std::string& applet : DeviceRootApplets()) {
    // Three shapes of applet link, as real roots mix them.
    std::string target = "busybox";
    if (applet.rfind("sbin/", 0) == 0) target = "/bin/busybox";
    if (applet.rfind("usr/", 0) == 0) target = "../../bin/busybox";
    PutFolder(root, fs::path(applet).parent_path().string());
    fs::create_symlink(target, root + "/" + applet);
  }
  PutFile(root, "lib/libc-2.31.so", TextContent(30000, 22));
  fs::create_symlink("libc-2.31.so", root + "/lib/libc.so.6");
  fs::create_symlink(made.hostFile, root + "/lib/libcrypto.so");
  fs::create_symlink("/opt/gone/libmissing.so.9", root + "/lib/libmissing.so");
  PutFile(root, "etc/loadmod", "insmod /lib/modules/hi_audio.ko\n");
  PutFile(root, "etc/init.d/rcS", "#!/bin/sh\nmount -a\n");
  PutFile(root, "usr/share/app/deep/conf/app.cfg", TextContent(500, 23));
  PutFolder(root, "dev");
  PutFolder(root, "tmp");
  EXPECT_EQ(::mkfifo((root + "/tmp/logpipe").c_str(), 0644), 0);
  if (nodes) {
    EXPECT_EQ(::mknod((root + "/dev/console").c_str(), S_IFCHR | 0600, makedev(5, 1)), 0);
    EXPECT_EQ(::mknod((root + "/dev/mtdblock0").c_str(), S_IFBLK | 0660, makedev(31, 0)), 0);
    made.nodes = true;
  }
  return made;
}

std::string TextContent(std::size_t length, unsigned seed) {
  static const char* const kWords[] = {"device ", "channel ", "record ", "stream ", "alarm ",
                                       "network ", "config=", "1;\n", "0x3f ", "<item/>\n"};
  std::mt19937 rng(seed);
  std::string out;
  out.reserve(length + 16);
  while (out.size() < length) out += kWords[rng() % 10];
  out.resize(length);
  return out;
}

Inode InodeAt(const Bytes& image, std::size_t offset) {
  if (offset + kInodeSize > image.size()) {
    ADD_FAILURE() << "inode outside the image at " << offset;
    return Inode();
  }
  return DecodeInode(image.data() + offset);
}

std::uint32_t Word(const Bytes& image, std::size_t offset) {
  if (offset + 4 > image.size()) {
    ADD_FAILURE() << "word outside the image at " << offset;
    return 0;
  }
  return GetLe32(image.data() + offset);
}

std::string NameAt(const Bytes& image, std::size_t inodeOffset) {
  const Inode in = InodeAt(image, inodeOffset);
  const std::size_t at = inodeOffset + kInodeSize;
  if (at + in.nameLength > image.size()) return "";
  std::string name(reinterpret_cast<const char*>(image.data() + at), in.nameLength);
  return name.substr(0, name.find('\0'));
}

namespace {
void WalkList(const Bytes& image, const Inode& dir, const std::string& prefix,
              std::map<std::string, FoundEntry>* out) {
  std::size_t at = dir.offset;
  const std::size_t end = at + dir.size;
  while (at < end && at + kInodeSize <= image.size()) {
    FoundEntry e{at, InodeAt(image, at)};
    const std::string path = prefix + NameAt(image, at);
    (*out)[path] = e;
    if ((e.inode.mode & kModeTypeMask) == kModeDirectory && e.inode.size > 0)
      WalkList(image, e.inode, path + "/", out);
    at += kInodeSize + e.inode.nameLength;
    if (e.inode.nameLength == 0) break;
  }
}
}  // namespace

std::map<std::string, FoundEntry> WalkImage(const Bytes& image) {
  std::map<std::string, FoundEntry> out;
  if (image.size() < kSuperblockSize) return out;
  WalkList(image, InodeAt(image, kSuperRoot), "", &out);
  return out;
}

void Rename(Bytes& image, const std::string& from, const std::string& to) {
  ASSERT_EQ(from.size(), to.size());
  const auto entries = WalkImage(image);
  ASSERT_EQ(entries.count(from), 1u) << from;
  const std::size_t at = entries.at(from).inodeOffset + kInodeSize;
  const std::size_t nameStart = from.rfind('/') == std::string::npos ? 0 : from.rfind('/') + 1;
  std::copy(to.begin() + static_cast<long>(nameStart), to.end(), image.begin() + static_cast<long>(at));
}

std::string InflateBlock(const Bytes& image, std::uint32_t table, std::uint32_t blocks,
                         std::uint32_t index) {
  const std::uint32_t start = index == 0 ? table + blocks * 4 : Word(image, table + (index - 1) * 4);
  const std::uint32_t end = Word(image, table + index * 4);
  if (end < start || end > image.size()) return "<bad pointers>";
  std::string out(kBlockSize * 2, '\0');
  uLongf length = out.size();
  if (::uncompress(reinterpret_cast<Bytef*>(out.data()), &length, image.data() + start, end - start) != Z_OK)
    return "<bad block>";
  out.resize(length);
  return out;
}

}  // namespace cramfstest
