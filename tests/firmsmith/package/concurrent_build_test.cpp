// Partitions of one make run built side by side: the package and flash
// image bytes, the messages and their order, and the failure shown are
// those of a run that builds one partition after another.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "firmsmith/fsimage/cramfs_writer.h"
#include "firmsmith/fsimage/image_header.h"
#include "firmsmith/package/make/make_options.h"
#include "package_fixture.h"

namespace packagetest {
namespace {

namespace fs = std::filesystem;
using package::MakeOutcome;
using testsupport::ReadFile;
using testsupport::WriteFile;

// mksquashfs stamps its images with the time it ran unless told a time.
class FixedBuildTime {
 public:
  FixedBuildTime() { ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1); }
  ~FixedBuildTime() { ::unsetenv("SOURCE_DATE_EPOCH"); }
};

// Every box and every step of a run in one log, each with the thread it
// came from.
class RunLog : public testsupport::RecordingMessageSink {
 public:
  platform::MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                                      platform::MessageButtons buttons) override {
    Note("box " + text);
    return RecordingMessageSink::ShowMessage(text, caption, buttons);
  }
  void Step(const package::MakeProgress& p) { Note("step " + package::DescribeProgress(p)); }
  void Note(const std::string& line) {
    lines.push_back(line);
    threads.push_back(std::this_thread::get_id());
  }
  std::vector<std::string> lines;
  std::vector<std::thread::id> threads;
};

class ConcurrentBuilds : public PackageTest {
 protected:
  // A partition folder with `kib` KiB of incompressible bytes besides the
  // usual files, so that builds overlap. With `ignored`, a tree the product
  // ignores too, which the run leaves out of a staged copy.
  std::string Folder(const std::string& name, int kib, bool ignored = true) {
    const std::string folder = ignored ? MakeFolder(name, name) : work_ / name;
    if (!ignored) WriteFile(folder + "/marker.txt", name);
    WriteFile(folder + "/bin/noise",
              NoiseBytes(static_cast<std::size_t>(kib) * 1024,
                         static_cast<std::uint32_t>(name.size()) * 7919u + static_cast<std::uint8_t>(name[0])));
    WriteFile(folder + "/lib/text.conf", std::string(static_cast<std::size_t>(kib) * 256, 'k'));
    return folder;
  }
  // A folder the external tools cannot be handed: a double quote in its
  // path. No ignored files, so it is built as it stands.
  std::string UnpassableFolder(const std::string& name) {
    const std::string folder = work_ / (name + "\"q");
    WriteFile(folder + "/marker.txt", name);
    return folder;
  }
  std::string InputPackage() {
    PeerImage(MakeFolder("oldweb", "w"), "web-x.cramfs.img", kWebStart, kWebEnd);
    PeerImage(MakeFolder("olduser", "u"), "user-x.cramfs.img", kUserStart, kUserEnd);
    PeerImage(MakeFolder("oldromfs", "r"), "romfs-x.cramfs.img", kRomfsStart, kRomfsEnd);
    PeerImage(MakeFolder("oldcustom", "c"), "custom-x.cramfs.img", kCustomStart, kCustomEnd);
    WriteFile(work_ / "InstallDesc",
              "{\"UpgradeCommand\": [{\"Command\": \"Burn\", \"FileName\": \"romfs-x.cramfs.img\"},"
              " {\"Command\": \"Burn\", \"FileName\": \"user-x.cramfs.img\"},"
              " {\"Command\": \"Burn\", \"FileName\": \"web-x.cramfs.img\"},"
              " {\"Command\": \"Burn\", \"FileName\": \"custom-x.cramfs.img\"}], \"Hardware\": \"HW-T\"}");
    return PeerPackage("in.bin", {"InstallDesc", "web-x.cramfs.img", "user-x.cramfs.img", "romfs-x.cramfs.img",
                                  "custom-x.cramfs.img"});
  }
  void Slot(package::MakeOptions* o, int slot, const std::string& source, int fs) {
    package::TickSlot(o, slot);
    o->slots[slot].sourcePath = source;
    o->slots[slot].fs = fs;
  }
  package::MakeEnvironment EnvWith(unsigned threads, RunLog* log) {
    package::MakeEnvironment env = Env();
    env.buildThreads = threads;
    if (log != nullptr) {
      env.sink = log;
      env.progress = [log](const package::MakeProgress& p) { log->Step(p); };
    }
    return env;
  }
};

TEST_F(ConcurrentBuilds, PackageAndFlashBytesMatchOneBuildAtATime) {
  const FixedBuildTime fixedTime;
  // Built as they stand: a staged copy would carry the times of its run.
  const std::string web = Folder("web", 600, false), logo = Folder("logo", 100, false),
                    user = Folder("user", 900, false), romfs = Folder("romfs", 500, false),
                    custom = Folder("custom", 300, false), app = Folder("app", 200, false);
  const std::string input = InputPackage();
  std::string flash(16 * 1048576, '\0');
  for (std::size_t i = 0; i < flash.size(); i += 4096) flash[i] = static_cast<char>(i >> 12);
  WriteFile(work_ / "flash.bin", flash);
  const std::map<std::string, std::string> inputs = {{input, ReadFile(input)}, {work_ / "flash.bin", flash}};

  const struct Case {
    const char* name;
    bool rework;
    package::PackageKind kind;
    std::vector<std::pair<int, std::pair<std::string, int>>> slots;  // slot, folder, file system
  } cases[] = {
      {"new package", false, package::PackageKind::NetworkUpgrades,
       {{package::kSlotWeb, {web, products::kFsSquashfs}},
        {package::kSlotLogo, {logo, products::kFsCramfs}},
        {package::kSlotUser, {user, products::kFsJffs2}},
        {package::kSlotRomfs, {romfs, products::kFsJffs2}},
        {package::kSlotCustom, {custom, products::kFsCramfs}},
        {package::kSlotApp, {app, products::kFsSquashfs}}}},
      {"rework", true, package::PackageKind::NetworkUpgrades,
       {{package::kSlotWeb, {web, products::kFsSquashfs}},
        {package::kSlotUser, {user, products::kFsJffs2}},
        {package::kSlotRomfs, {romfs, products::kFsCramfs}},  // rebuilt as jffs2
        {package::kSlotCustom, {custom, products::kFsCramfs}}}},
      {"flash image", true, package::PackageKind::BurningPiecefile,
       {{package::kSlotWeb, {web, products::kFsSquashfs}},
        {package::kSlotLogo, {logo, products::kFsCramfs}},
        {package::kSlotUser, {user, products::kFsJffs2}},
        {package::kSlotCustom, {custom, products::kFsCramfs}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::map<unsigned, std::string> written;
    for (unsigned threads : {1u, 4u}) {
      SCOPED_TRACE(threads);
      package::MakeOptions o =
          Options(c.rework, c.rework ? (c.kind == package::PackageKind::NetworkUpgrades ? input : work_ / "flash.bin")
                                     : std::string());
      o.kind = c.kind;
      for (const auto& [slot, source] : c.slots) Slot(&o, slot, source.first, source.second);
      o.outputPath = work_ / (std::string(c.name) + std::to_string(threads) + ".out");
      ASSERT_NE(package::RunMakeOperation(o, EnvWith(threads, nullptr)), MakeOutcome::kFailed) << LastBox();
      written[threads] = ReadFile(o.outputPath);
      EXPECT_TRUE(RunLeftovers(work_.path()).empty());
      EXPECT_TRUE(RunLeftovers(prog_.path()).empty());
    }
    ASSERT_GT(written[1].size(), 1048576u);
    if (c.kind == package::PackageKind::BurningPiecefile) {
      EXPECT_EQ(testsupport::FirstDifference(written[1], written[4]), "");
      continue;
    }
    // A package: the same entries in the same order, each with the same
    // bytes but for the second its image was built in (the header's time
    // and the header CRC over it).
    const std::string one = work_ / (std::string(c.name) + "1.out"), four = work_ / (std::string(c.name) + "4.out");
    EXPECT_EQ(testsupport::RunCommand({"unzip", "-tq", four}).status, 0);
    const std::vector<std::string> names = Entries(four);
    EXPECT_EQ(names.size(), c.slots.size() + 1) << "every partition and InstallDesc";
    EXPECT_EQ(Entries(one), names);
    for (const std::string& name : names) {
      SCOPED_TRACE(name);
      std::string a = Entry(one, name), b = Entry(four, name);
      ASSERT_EQ(a.size(), b.size());
      if (name != "InstallDesc") {
        ASSERT_GT(a.size(), 64u);
        a.replace(4, 8, 8, '\0');
        b.replace(4, 8, 8, '\0');
      }
      EXPECT_EQ(testsupport::FirstDifference(a, b), "");
    }
  }
  for (const auto& [path, bytes] : inputs) EXPECT_EQ(testsupport::FirstDifference(ReadFile(path), bytes), "") << path;
}

// Our cramfs images are built straight behind room for their header and
// wrapped where they lie: each image in the package is, byte for byte,
// what MakeImage makes of a bare build of the same folder.
TEST_F(ConcurrentBuilds, OurCramfsImagesAreMakeImageOfABareBuild) {
  const std::string user = Folder("user", 700, false), custom = Folder("custom", 200, false),
                    web = Folder("web", 100, false);
  const std::string input = InputPackage();
  const std::string inputBytes = ReadFile(input);
  struct Image {
    const char* entry;
    std::string folder;
    std::uint32_t start, end;
  };
  const std::vector<Image> images = {{"user-x.cramfs.img", user, kUserStart, kUserEnd},
                                     {"custom-x.cramfs.img", custom, kCustomStart, kCustomEnd}};
  for (bool rework : {false, true}) {
    SCOPED_TRACE(rework ? "rework" : "new package");
    package::MakeOptions o = Options(rework, rework ? input : std::string());
    Slot(&o, package::kSlotUser, user, products::kFsCramfs);
    Slot(&o, package::kSlotCustom, custom, products::kFsCramfs);
    // A build by an external tool in between keeps its own way.
    Slot(&o, package::kSlotWeb, web, products::kFsJffs2);
    o.outputPath = work_ / (rework ? "reworked.bin" : "new.bin");
    ASSERT_NE(package::RunMakeOperation(o, EnvWith(2, nullptr)), MakeOutcome::kFailed) << LastBox();
    for (const Image& image : images) {
      SCOPED_TRACE(image.entry);
      const std::string wrapped = Entry(o.outputPath, image.entry);
      ASSERT_GT(wrapped.size(), 64u);
      const std::string bare = work_ / "bare.cramfs", made = work_ / "bare.img";
      std::string why;
      ASSERT_EQ(fsimage::BuildCramfsImage(image.folder, bare, &why), 0) << why;
      // The time field is the build's own second; the bare build gets it.
      const struct timespec when[2] = {{static_cast<time_t>(Word(wrapped, 8)), 0},
                                       {static_cast<time_t>(Word(wrapped, 8)), 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, bare.c_str(), when, 0), 0);
      ASSERT_EQ(fsimage::MakeImage(bare, made, image.start, image.end), 0);
      EXPECT_EQ(testsupport::FirstDifference(wrapped, ReadFile(made)), "");
    }
    const std::string jffs2 = Entry(o.outputPath, "web-x.cramfs.img");
    ASSERT_GT(jffs2.size(), 64u);
    EXPECT_EQ(Word(jffs2, 12), jffs2.size() - 64);
    EXPECT_TRUE(RunLeftovers(work_.path()).empty());
    EXPECT_TRUE(RunLeftovers(prog_.path()).empty());
  }
  EXPECT_EQ(testsupport::FirstDifference(ReadFile(input), inputBytes), "");
}

// Folders of several slots with files the product ignores are staged as
// copies while the builds of earlier slots still read theirs: each
// partition holds its own folder's files, without the ignored ones.
TEST_F(ConcurrentBuilds, StagedCopiesOfSlotsBuiltTogetherStayApart) {
  if (!testsupport::HaveProgram("unsquashfs")) GTEST_SKIP() << "unsquashfs missing";
  const std::string input = InputPackage();
  package::MakeOptions o = Options(true, input);
  Slot(&o, package::kSlotWeb, Folder("web", 700), products::kFsSquashfs);
  Slot(&o, package::kSlotUser, Folder("user", 900), products::kFsCramfs);
  Slot(&o, package::kSlotCustom, Folder("custom", 300), products::kFsSquashfs);
  ASSERT_EQ(package::RunMakeOperation(o, EnvWith(4, nullptr)), MakeOutcome::kReworked) << LastBox();
  for (const char* name : {"web", "user", "custom"}) {
    SCOPED_TRACE(name);
    const std::string payload = work_ / (std::string(name) + ".payload");
    const std::string tree = work_ / (std::string(name) + ".tree");
    WriteFile(payload, Entry(input, std::string(name) + "-x.cramfs.img").substr(64));
    const testsupport::CommandResult r =
        std::string(name) == "user"
            ? testsupport::RunCommand({"fsck.cramfs", "--extract=" + tree, payload})
            : testsupport::RunCommand({"unsquashfs", "-q", "-d", tree, payload});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(tree + "/marker.txt"), name);
    EXPECT_EQ(ReadFile(tree + "/bin/noise"), ReadFile(work_ / (std::string(name) + "/bin/noise")));
    EXPECT_FALSE(testsupport::FileExists(tree + "/debug/trace.log"));
  }
  EXPECT_TRUE(testsupport::FileExists(work_ / "user/debug/trace.log")) << "the operator's folder stays";
  EXPECT_TRUE(RunLeftovers(prog_.path()).empty());
}

// Failures of several slots: what is shown is what one build at a time
// shows, the first failure in slot order alone.
TEST_F(ConcurrentBuilds, OnlyTheFirstFailureInSlotOrderIsShown) {
  const std::string input = InputPackage();
  const std::string goodWeb = Folder("web", 800);
  const std::string badWeb = UnpassableFolder("web");
  const std::string badUser = UnpassableFolder("user");
  // A user image too short for its header: the user slot's preparation
  // fails when it reads the partition's bounds from it.
  const std::string shortInput = work_ / "short.bin";
  WriteFile(work_ / "user-x.cramfs.img", "short");
  fs::copy_file(input, shortInput);
  ASSERT_EQ(testsupport::RunCommand({"zip", "-q", "-j", shortInput, work_ / "user-x.cramfs.img"}).status, 0);

  const struct Case {
    const char* name;
    std::string input, web, user;
    std::string firstText;  // the failure box
    std::string notShown;   // the other slot
  } cases[] = {
      {"two builds fail", input, badWeb, badUser, "alarm_makeerror", "user"},
      {"a later preparation fails", shortInput, badWeb, Folder("user", 10), "alarm_makeerror", "user"},
      {"the preparation alone fails", shortInput, goodWeb, Folder("user", 10), "readfile", "web"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::map<std::string, std::string> before = testsupport::SnapshotTree(work_.path());
    std::map<unsigned, std::vector<std::string>> shown;
    for (unsigned threads : {1u, 4u}) {
      SCOPED_TRACE(threads);
      package::MakeOptions o = Options(true, c.input);
      Slot(&o, package::kSlotWeb, c.web, products::kFsSquashfs);
      Slot(&o, package::kSlotUser, c.user, products::kFsJffs2);
      RunLog log;
      EXPECT_EQ(package::RunMakeOperation(o, EnvWith(threads, &log)), MakeOutcome::kFailed);
      for (const auto& box : log.boxes) {
        // The work folder's name is made anew for each run.
        std::string reason = box.reason;
        if (const std::size_t at = reason.find(".h264dvr-"); at != std::string::npos) reason.replace(at, 15, ".h264dvr-*");
        shown[threads].push_back(box.text + " | " + box.caption + " | " + reason);
      }
      ASSERT_FALSE(log.boxes.empty());
      EXPECT_EQ(log.boxes.back().text, c.firstText);
      EXPECT_EQ(testsupport::SnapshotTree(work_.path()), before) << "the input folder as it was";
      EXPECT_TRUE(RunLeftovers(work_.path()).empty());
      EXPECT_TRUE(RunLeftovers(prog_.path()).empty());
    }
    EXPECT_EQ(shown[4], shown[1]);
    for (const std::string& box : shown[4])
      for (const std::string& name : {c.notShown + "-x", c.notShown + "\"q"})
        EXPECT_EQ(box.find(name), std::string::npos) << "the other slot's failure shown: " << box;
  }
}

// Logo fitting does not wait for the builds of earlier slots: it shows
// nothing but its failure, and that waits for them, so an earlier build's
// failure is still the one shown, as one build at a time shows it.
TEST_F(ConcurrentBuilds, LogoFittingOverlapsEarlierBuildsAndHoldsBackItsFailure) {
  std::string ini = ReadFile(prog_ / "Products/TestBox.ini");
  ini.replace(ini.find("[LOGO]\n"), 7, "[LOGO]\nlogo_width=8\nlogo_height=4\n");
  WriteFile(prog_ / "Products/TestBox.ini", ini);
  const std::string input = InputPackage();
  const std::string goodWeb = Folder("web", 800), badWeb = UnpassableFolder("web");
  WriteFile(work_ / "logo/picture.bmp", Bitmap(4, 2));
  WriteFile(work_ / "badlogo/picture.bmp", "not a picture");
  for (const bool rework : {true, false}) {
    SCOPED_TRACE(rework ? "rework" : "new package");
    auto options = [&](const std::string& web, const std::string& logo) {
      package::MakeOptions o = Options(rework, rework ? input : std::string());
      Slot(&o, package::kSlotWeb, web, products::kFsSquashfs);
      Slot(&o, package::kSlotLogo, logo, products::kFsCramfs);
      o.outputPath = work_ / "out.bin";
      o.replaceOutput = true;
      return o;
    };
    RunLog built;
    ASSERT_NE(package::RunMakeOperation(options(goodWeb, work_ / "logo"), EnvWith(4, &built)), MakeOutcome::kFailed)
        << LastBox();
    const auto at = [&](const std::string& line) {
      return std::find(built.lines.begin(), built.lines.end(), line) - built.lines.begin();
    };
    EXPECT_LT(at("step building logo-x as cramfs"), at("step wrapping web-x.cramfs.img"))
        << "the logo is fitted and built while web-x builds";

    const std::map<std::string, std::string> before = testsupport::SnapshotTree(work_.path());
    std::map<unsigned, std::vector<std::string>> shown;
    for (unsigned threads : {1u, 4u}) {
      SCOPED_TRACE(threads);
      RunLog log;
      EXPECT_EQ(package::RunMakeOperation(options(badWeb, work_ / "badlogo"), EnvWith(threads, &log)),
                MakeOutcome::kFailed);
      for (const auto& box : log.boxes) shown[threads].push_back(box.text + " | " + box.caption);
      ASSERT_FALSE(log.boxes.empty());
      EXPECT_EQ(log.boxes.back().text, "alarm_makeerror");
      for (const auto& box : log.boxes) EXPECT_EQ(box.text.find("logo pictures"), std::string::npos) << box.text;
      EXPECT_EQ(testsupport::SnapshotTree(work_.path()), before) << "the input folder as it was";
      EXPECT_TRUE(RunLeftovers(prog_.path()).empty());
    }
    EXPECT_EQ(shown[4], shown[1]);
  }
}

// The messages a build gives (a tool that cannot be run says why) come at
// its slot's place in the run, after the earlier slots are complete, and
// all on the thread that runs the operation, as do the steps.
TEST_F(ConcurrentBuilds, BuildMessagesComeInSlotOrderOnTheCallersThread) {
  const FixedBuildTime fixedTime;
  const std::string input = InputPackage();
  package::MakeOptions o = Options(true, input);
  Slot(&o, package::kSlotWeb, Folder("web", 1500), products::kFsSquashfs);
  Slot(&o, package::kSlotUser, Folder("user", 2000), products::kFsCramfs);
  Slot(&o, package::kSlotRomfs, UnpassableFolder("romfs"), products::kFsJffs2);
  RunLog log;
  ASSERT_EQ(package::RunMakeOperation(o, EnvWith(4, &log)), MakeOutcome::kFailed);

  const std::string refusal = "box mkfs.jffs2: cannot pass a path holding a double quote: ";
  std::vector<std::string> lines = log.lines;
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.back(), "box alarm_makeerror");
  EXPECT_EQ(lines[lines.size() - 2].rfind(refusal, 0), 0u) << lines[lines.size() - 2];
  lines.resize(lines.size() - 2);
  // The counts of the unpacking depend on the machine's pace.
  lines.erase(std::remove_if(lines.begin(), lines.end(),
                             [](const std::string& l) { return l.find("%)") != std::string::npos; }),
              lines.end());
  // A slot whose build is over may be completed while a later one is added,
  // so "building" and "wrapping" interleave with the machine's pace; each
  // kind comes in slot order, and a slot wraps only after it was built.
  ASSERT_EQ(lines.size(), 6u) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[0], "step unpacking in.bin");
  std::vector<std::string> building, wrapping;
  for (const std::string& line : lines) {
    if (line.rfind("step building ", 0) == 0) building.push_back(line);
    if (line.rfind("step wrapping ", 0) == 0) wrapping.push_back(line);
  }
  EXPECT_EQ(building, (std::vector<std::string>{"step building web-x as squashfs", "step building user-x as cramfs",
                                                "step building romfs-x as jffs2"}));
  EXPECT_EQ(wrapping, (std::vector<std::string>{"step wrapping web-x.cramfs.img", "step wrapping user-x.cramfs.img"}));
  const auto at = [&lines](const std::string& line) { return std::find(lines.begin(), lines.end(), line); };
  EXPECT_LT(at("step building web-x as squashfs"), at("step wrapping web-x.cramfs.img"));
  EXPECT_LT(at("step building user-x as cramfs"), at("step wrapping user-x.cramfs.img"));
  for (std::size_t i = 0; i < log.threads.size(); ++i)
    EXPECT_EQ(log.threads[i], std::this_thread::get_id()) << log.lines[i];
}

}  // namespace
}  // namespace packagetest
