#include "package_fixture.h"

#include <json/json.h>

#include <filesystem>
#include <sstream>

#include "firmsmith/package/layout/json_file.h"
#include "firmsmith/package/make/make_options.h"

namespace packagetest {

using testsupport::RunCommand;
using testsupport::WriteFile;

namespace {

std::string Hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", v);
  return text;
}

}  // namespace

bool HavePeers() {
  for (const char* tool : {"mkfs.cramfs", "fsck.cramfs", "mkimage", "zip", "unzip", "mkfs.jffs2"})
    if (!testsupport::HaveProgram(tool)) return false;
  return true;
}

std::vector<std::string> RunLeftovers(const std::string& folder) {
  std::vector<std::string> left;
  for (const platform::FolderEntry& e : testsupport::ListEntries(folder)) {
    const std::string& n = e.name;
    if (n.rfind(".h264dvr", 0) == 0 || n.rfind("tmp", 0) == 0 || n.rfind("dist", 0) == 0 ||
        n.find(".part-") != std::string::npos || n.find(".tmp-") != std::string::npos)
      left.push_back(n);
  }
  return left;
}

void PackageTest::InstallCli() {
  std::filesystem::copy_file(testsupport::AppDir() + "/firmsmith-cli", prog_ / "firmsmith-cli");
  std::filesystem::create_directories(prog_ / "Language");
  std::filesystem::copy_file(testsupport::SourceDir() + "/data/app/Language/English.lang",
                             prog_ / "Language/English.lang");
  WriteFile(prog_ / "Config.ini", "[themes]\nSolution=English\n");
}

void PackageTest::SetUp() {
  if (!HavePeers()) GTEST_SKIP() << "peer tools missing";
  WriteFile(prog_ / "Products/TestBox.ini",
            "[Product]\nname=TestBox\nvendor=Vend\nhardware=HW-T\n"
            "[ROMFS]\nstart=" + Hex(kRomfsStart) + "\nend=" + Hex(kRomfsEnd) + "\nfs=cramfs\n"
            "[USER]\nstart=" + Hex(kUserStart) + "\nend=" + Hex(kUserEnd) + "\nfs=cramfs\n"
            "[WEB]\nstart=" + Hex(kWebStart) + "\nend=" + Hex(kWebEnd) + "\n"
            "[CUSTOM]\nstart=" + Hex(kCustomStart) + "\nend=" + Hex(kCustomEnd) + "\nignore=debug/*\n"
            "[LOGO]\nstart=" + Hex(kLogoStart) + "\nend=" + Hex(kLogoEnd) + "\n"
            "[MTD]\nstart=" + Hex(kMtdStart) + "\nend=" + Hex(kMtdEnd) + "\n"
            "[UBOOTLOGO]\nstart=" + Hex(kUbootLogoStart) + "\nend=" + Hex(kUbootLogoEnd) + "\n"
            "[OEMAPP]\nstart=" + Hex(kAppStart) + "\nend=" + Hex(kAppEnd) + "\n");
  std::string header;
  for (int i = 0; i < 128; ++i) header += "A5 ";
  WriteFile(prog_ / "imgH.data", header);
}

package::MakeEnvironment PackageTest::Env() {
  package::MakeEnvironment env;
  env.programDirectory = Prog();
  env.sink = &sink_;
  env.pauseScale = 0;
  return env;
}

products::ProductProfile PackageTest::Product() const {
  return products::LoadProductProfile(prog_ / "Products/TestBox.ini");
}

package::MakeOptions PackageTest::Options(bool withInput, const std::string& input) const {
  package::MakeOptions o;
  o.selectedProduct = Product();
  o.originalFile = input;
  o.originalFileLoaded = withInput;
  return o;
}

std::string PackageTest::MakeFolder(const std::string& name, const std::string& marker) {
  const std::string folder = work_ / name;
  WriteFile(folder + "/marker.txt", marker);
  WriteFile(folder + "/etc/init.d/rcS", "#!/bin/sh\necho " + marker + "\n");
  WriteFile(folder + "/debug/trace.log", "debug output of " + marker);
  return folder;
}

std::string PackageTest::PeerImage(const std::string& folder, const std::string& name,
                                   std::uint32_t start, std::uint32_t end) {
  const std::string payload = work_ / (name + ".payload");
  EXPECT_EQ(RunCommand({"mkfs.cramfs", folder, payload}).status, 0);
  const std::string image = work_ / name;
  const testsupport::CommandResult r =
      RunCommand({"mkimage", "-A", "arm", "-O", "linux", "-T", "kernel", "-C", "gzip", "-a", Hex(start),
                  "-e", Hex(end), "-n", "Linux", "-d", payload, image});
  EXPECT_EQ(r.status, 0) << r.err;
  return image;
}

std::string PackageTest::PeerPackage(const std::string& name, const std::vector<std::string>& files) {
  const std::string package = work_ / name;
  std::vector<std::string> argv = {"zip", "-q", "-j", package};
  for (const std::string& f : files) argv.push_back(work_ / f);
  const testsupport::CommandResult r = RunCommand(argv);
  EXPECT_EQ(r.status, 0) << r.err;
  return package;
}

void PackageTest::ReworkUserWithGainLine(const std::string& userTree) {
  PeerImage(userTree, "user-x.cramfs.img", kUserStart, kUserEnd);
  WriteFile(work_ / "InstallDesc",
            "{\"UpgradeCommand\": [{\"Command\": \"Burn\", \"FileName\": \"user-x.cramfs.img\"}], \"Hardware\": \"HW-T\"}");
  const std::string input = PeerPackage("in.bin", {"InstallDesc", "user-x.cramfs.img"});
  WriteFile(prog_ / "Config.ini", "[register]\n3db=00011\n6db=00101\n");
  package::MakeOptions o = Options(true, input);
  package::TickSlot(&o, package::kSlotUser);
  o.lineInGain = true;
  o.lineInLeft = "3db";
  o.lineInRight = "6db";
  ASSERT_EQ(package::RunMakeOperation(o, Env()), package::MakeOutcome::kReworked) << LastBox();
  const std::string image = Entry(input, "user-x.cramfs.img");
  ASSERT_GT(image.size(), 64u);
  WriteFile(work_ / "user.payload", image.substr(64));
  ASSERT_EQ(testsupport::RunCommand({"fsck.cramfs", "--extract=" + work_ / "user-out", work_ / "user.payload"}).status,
            0);
}

std::vector<std::string> PackageTest::Entries(const std::string& package) {
  const testsupport::CommandResult r = RunCommand({"unzip", "-Z1", package});
  std::vector<std::string> names;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) names.push_back(line);
  return names;
}

std::string PackageTest::Entry(const std::string& package, const std::string& entry) {
  return RunCommand({"unzip", "-p", package, entry}).out;
}

std::vector<std::string> PackageTest::CommandFileNames(const std::string& installDesc) {
  Json::Value root;
  EXPECT_TRUE(package::ParseJsonObject(installDesc, &root)) << installDesc;
  std::vector<std::string> names;
  for (const Json::Value& c : root["UpgradeCommand"]) {
    EXPECT_EQ(c["Command"].asString(), "Burn");
    names.push_back(c["FileName"].asString());
  }
  return names;
}

}  // namespace packagetest
