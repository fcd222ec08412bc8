// Taking the custom partition out of a package image or a flash image and
// unpacking it, with the pauses scaled by the environment; the pause after a
// partition built by an external tool.
#include "firmsmith/package/make/partition_unpack.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "firmsmith/fsimage/image_probe.h"
#include "common/uitext/language_table.h"
#include "firmsmith/package/make/make_run_folders.h"
#include "firmsmith/package/make/build_queue.h"
#include "package_fixture.h"

namespace packagetest {
namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

class PartitionUnpack : public PackageTest {
 protected:
  // The environment of a run under way, with its private temporary folder.
  package::MakeEnvironment Env() {
    package::MakeEnvironment env = PackageTest::Env();
    if (!run_) run_ = std::make_unique<package::MakeRunFolders>(Prog());
    env.run = run_.get();
    return env;
  }
  std::unique_ptr<package::MakeRunFolders> run_;

  package::CustomisationRequest Request(const package::MakeOptions& o, const package::MakeEnvironment& env,
                                        const std::string& image) {
    package::CustomisationRequest r;
    r.options = &o;
    r.environment = &env;
    r.imagePath = image;
    r.start = kCustomStart;
    r.end = kCustomEnd;
    return r;
  }
};

TEST_F(PartitionUnpack, FromAPackageImage) {
  const std::string image = PeerImage(MakeFolder("custom", "from package"), "custom-x.cramfs.img", kCustomStart, kCustomEnd);
  package::MakeOptions o = Options(true, work_ / "in.bin");
  package::MakeEnvironment env = Env();
  env.pauseScale = 0.01;  // 5 s of pauses become 50 ms
  package::UnpackedPartition out;
  const auto began = std::chrono::steady_clock::now();
  ASSERT_TRUE(package::UnpackPartitionForRework(Request(o, env, image), "custom", products::kFsCramfs, &out))
      << LastBox();
  EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(50));
  EXPECT_EQ(out.root.substr(0, Prog().size() + 3), Prog() + "tmp");
  EXPECT_EQ(out.folder, out.root + "/custom");
  EXPECT_EQ(out.payload, out.root + "/custom.cramfs");
  EXPECT_EQ(out.root.substr(out.root.size() - 19), "/custom_cramfs_root");
  EXPECT_EQ(out.detectedKind, fsimage::kImageKindCramfs);
  EXPECT_EQ(ReadFile(out.folder + "/marker.txt"), "from package");
  // The run's own folder, "tmp<stamp>-XXXXXX", mode 0700; gone with the run.
  const std::string runFolder = out.root.substr(0, out.root.size() - 19);
  EXPECT_EQ(fs::path(runFolder).filename().string().size(), std::string("tmp20260101_000000-XXXXXX").size());
  EXPECT_EQ(fs::status(runFolder).permissions() & fs::perms::all, fs::perms::owner_all);
  run_.reset();
  EXPECT_FALSE(fs::exists(runFolder));
}

TEST_F(PartitionUnpack, WithoutARunThereIsNoTemporaryFolder) {
  const std::string image = PeerImage(MakeFolder("custom", "x"), "custom-x.cramfs.img", kCustomStart, kCustomEnd);
  package::MakeOptions o = Options(true, work_ / "in.bin");
  const package::MakeEnvironment env = PackageTest::Env();
  package::UnpackedPartition out;
  EXPECT_FALSE(package::UnpackPartitionForRework(Request(o, env, image), "custom", products::kFsCramfs, &out));
  EXPECT_EQ(LastBox(), "create_error");
  std::vector<std::string> names;
  for (const platform::FolderEntry& e : testsupport::ListEntries(prog_.path())) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Products", "imgH.data"}));
}

TEST_F(PartitionUnpack, FromAFlashImage) {
  const std::string image = PeerImage(MakeFolder("custom", "from flash"), "custom-x.cramfs.img", kCustomStart, kCustomEnd);
  std::string flash(16 * 1048576, '\xff');
  const std::string payload = ReadFile(image).substr(64);
  flash.replace(kCustomStart, payload.size(), payload);
  WriteFile(work_ / "flash.bin", flash);
  package::MakeOptions o = Options(true, work_ / "flash.bin");
  o.kind = package::PackageKind::BurningPiecefile;
  package::MakeEnvironment env = Env();
  package::UnpackedPartition out;
  ASSERT_TRUE(package::UnpackPartitionForRework(Request(o, env, work_ / "flash.bin"), "user", products::kFsCramfs, &out))
      << LastBox();
  EXPECT_EQ(ReadFile(out.folder + "/marker.txt"), "from flash");
  EXPECT_EQ(testsupport::ReadFile(out.payload).size(), kCustomEnd - kCustomStart);
}

TEST_F(PartitionUnpack, ShortOrBrokenImagesAreReported) {
  WriteFile(work_ / "short.img", std::string(63, 'x'));
  WriteFile(work_ / "junk.img", std::string(64, 'h') + std::string(4096, 'j'));
  package::MakeOptions o = Options(true, work_ / "in.bin");
  package::MakeEnvironment env = Env();
  // An image that cannot be taken out is unreadable; one whose file system
  // fails its check is damaged, and the reason names the damage.
  const struct {
    const char* image;
    const char* text;
    const char* inReason;
  } cases[] = {{"short.img", "readfile", "short.img"},
               {"junk.img", "Firmsmith.The partition %s of the input file is damaged; nothing was written.",
                "custom.cramfs"}};
  for (const auto& c : cases) {
    package::UnpackedPartition out;
    EXPECT_FALSE(package::UnpackPartitionForRework(Request(o, env, work_ / c.image), "custom", products::kFsCramfs, &out));
    ASSERT_FALSE(sink_.boxes.empty());
    EXPECT_EQ(sink_.boxes.back().text, package::FillFormat(uitext::GetString(c.text), "custom-x")) << c.image;
    EXPECT_EQ(sink_.boxes.back().caption, "alarm_make");
    EXPECT_NE(sink_.boxes.back().reason.find(c.inReason), std::string::npos) << sink_.boxes.back().reason;
  }
  package::UnpackedPartition out;
  o.kind = package::PackageKind::BurningPiecefile;
  EXPECT_FALSE(package::UnpackPartitionForRework(Request(o, env, work_ / "none.bin"), "custom", products::kFsCramfs, &out));
  EXPECT_EQ(LastBox(), "open_original_file");
}

// A run waits after mksquashfs or mkfs.jffs2 only when the pauses are
// restored, on its own thread in slot order whatever the build threads; by
// default a build by a tool is followed by nothing.
TEST_F(PartitionUnpack, APartitionBuiltByAToolPausesOnlyWhenPausesAreRestored) {
  if (!testsupport::HaveProgram("mksquashfs") || !testsupport::HaveProgram("mkfs.jffs2"))
    GTEST_SKIP() << "squashfs or jffs2 tools missing";
  const std::string folder = MakeFolder("user", "built by a tool");
  const double settle = package::kToolSettleSeconds;
  const struct {
    double scale;
    unsigned threads;
    std::vector<double> pauses;
  } cases[] = {{0, 1, {}}, {0, 4, {}}, {1, 1, {settle, settle}}, {1, 4, {settle, settle}}};
  for (const auto& c : cases) {
    package::MakeEnvironment env = Env();
    env.pauseScale = c.scale;
    env.buildThreads = c.threads;
    std::vector<double> pauses;
    bool elsewhere = false;
    const std::thread::id run = std::this_thread::get_id();
    env.sleep = [&](double seconds) {
      pauses.push_back(seconds);
      elsewhere = elsewhere || std::this_thread::get_id() != run;
    };
    std::vector<std::string> completed;
    {
      package::BuildQueue queue(env);
      const int systems[] = {products::kFsSquashfs, products::kFsCramfs, products::kFsJffs2};
      for (int fs : systems) {
        package::BuildJob job;
        job.fs = fs;
        job.sourceFolder = folder;
        job.imagePath = work_ / ("built" + std::to_string(fs) + ".img");
        ASSERT_TRUE(queue.Add(job, [&completed, job](const platform::Status& built) {
          completed.push_back(built.ok ? job.imagePath : built.message);
          return true;
        }));
      }
      ASSERT_TRUE(queue.CompleteAll());
    }
    const std::string at = "scale " + std::to_string(c.scale) + ", " + std::to_string(c.threads) + " threads";
    EXPECT_EQ(completed.size(), 3u) << at;
    EXPECT_EQ(pauses, c.pauses) << at;
    EXPECT_FALSE(elsewhere) << at;
  }
}

}  // namespace
}  // namespace packagetest
