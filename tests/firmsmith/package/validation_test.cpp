// Validation of the option model and the choice of path: which combinations
// pass, and which message stops the others.
#include <gtest/gtest.h>

#include <functional>

#include "firmsmith/package/make/make_operation.h"
#include "test_support.h"

namespace {

using package::MakeOptions;

void Tick(MakeOptions* o, int slot, const std::string& path = "") {
  package::TickSlot(o, slot);
  o->slots[slot].sourcePath = path;
}

struct ValidationCase {
  const char* name;
  std::function<void(MakeOptions*)> setup;
  const char* message;  // "" when validation passes
};
void PrintTo(const ValidationCase& c, std::ostream* os) { *os << c.name; }


class Validation : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(Validation, PassesOrShowsItsMessage) {
  MakeOptions o;
  o.selectedProduct.name = "P";
  o.originalFile = "/nonexistent/in.bin";
  o.originalFileLoaded = true;
  GetParam().setup(&o);
  testsupport::RecordingMessageSink sink;
  package::MakeEnvironment env;
  env.sink = &sink;
  const bool passed = package::ValidateMakeOptions(o, env);
  if (*GetParam().message == '\0') {
    EXPECT_TRUE(passed);
    EXPECT_TRUE(sink.boxes.empty());
  } else {
    EXPECT_FALSE(passed);
    ASSERT_EQ(sink.boxes.size(), 1u);
    EXPECT_EQ(sink.boxes[0].text, GetParam().message);
    EXPECT_EQ(sink.boxes[0].caption, package::kApplicationTitle);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Validation,
    ::testing::Values(
        ValidationCase{"nothing", [](MakeOptions*) {}, "alarm_filetype"},
        ValidationCase{"oemDevTypeAlone", [](MakeOptions* o) { o->oemDevType = true; }, ""},
        ValidationCase{"unmountAlone", [](MakeOptions* o) { o->unmountPartitions = true; }, ""},
        ValidationCase{"folderGiven", [](MakeOptions* o) { Tick(o, package::kSlotLogo, "/x"); }, ""},
        ValidationCase{"folderMissing", [](MakeOptions* o) { Tick(o, package::kSlotLogo); }, "alarm_update"},
        ValidationCase{"customWithStrings",
                       [](MakeOptions* o) {
                         Tick(o, package::kSlotCustom);
                         o->strings = true;
                         Tick(o, package::kSlotStrings, "/strings");
                       },
                       ""},
        ValidationCase{"customWithStringsWithoutFolder",
                       [](MakeOptions* o) {
                         Tick(o, package::kSlotCustom);
                         o->strings = true;
                         Tick(o, package::kSlotStrings);
                       },
                       "alarm_update"},
        ValidationCase{"customAlone", [](MakeOptions* o) { Tick(o, package::kSlotCustom); }, "alarm_update"},
        ValidationCase{"customWithCloudServer",
                       [](MakeOptions* o) {
                         Tick(o, package::kSlotCustom);
                         o->cloudServer = true;
                       },
                       ""},
        ValidationCase{"customFromDeviceWithoutPort",
                       [](MakeOptions* o) {
                         Tick(o, package::kSlotCustom);
                         o->deviceModel = true;
                         o->devicePort.clear();
                       },
                       "alarm_inputPort"},
        ValidationCase{"customFromDeviceWithoutUser",
                       [](MakeOptions* o) {
                         Tick(o, package::kSlotCustom);
                         o->deviceModel = true;
                         o->userName.clear();
                       },
                       "alarm_inputUserName"},
        ValidationCase{"customFolderNeedsNoDevice",
                       [](MakeOptions* o) {
                         Tick(o, package::kSlotCustom, "/c");
                         o->userName.clear();
                       },
                       ""},
        ValidationCase{"restoreDefaultsAlone",
                       [](MakeOptions* o) {
                         o->restoreDefaults = true;
                         Tick(o, package::kSlotMtd);
                       },
                       ""},
        ValidationCase{"picturesWithoutFolder",
                       [](MakeOptions* o) {
                         o->pictures = true;
                         Tick(o, package::kSlotMtd);
                       },
                       "alarm_update"},
        ValidationCase{"configsFromDevice",
                       [](MakeOptions* o) {
                         o->configs = true;
                         Tick(o, package::kSlotUbootLogo);
                       },
                       ""},
        ValidationCase{"userGainInPlace",
                       [](MakeOptions* o) {
                         o->lineInGain = true;
                         Tick(o, package::kSlotUser);
                       },
                       ""},
        ValidationCase{"userGainWithoutInput",
                       [](MakeOptions* o) {
                         o->lineInGain = true;
                         o->originalFileLoaded = false;
                         Tick(o, package::kSlotUser);
                       },
                       "alarm_update"},
        ValidationCase{"romfs2WithoutFolder", [](MakeOptions* o) { Tick(o, package::kSlotRomfs2); }, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChoiceOfPath, FlashImageNeedsAnInputAndNewPackageAProduct) {
  testsupport::RecordingMessageSink sink;
  package::MakeEnvironment env;
  env.sink = &sink;
  env.programDirectory = "/nonexistent/";
  MakeOptions o;
  o.kind = package::PackageKind::BurningPiecefile;
  Tick(&o, package::kSlotLogo, "/logo");
  EXPECT_EQ(package::RunMakeOperation(o, env), package::MakeOutcome::kFailed);
  ASSERT_EQ(sink.boxes.size(), 1u);
  EXPECT_EQ(sink.boxes[0].text, "alarm_burnfile");
  o.kind = package::PackageKind::NetworkUpgrades;
  EXPECT_EQ(package::RunMakeOperation(o, env), package::MakeOutcome::kFailed);
  EXPECT_EQ(sink.boxes.back().text, "alarm_productmodel");
  o.originalFileLoaded = true;
  EXPECT_EQ(package::RunMakeOperation(o, env), package::MakeOutcome::kFailed);
  EXPECT_EQ(sink.boxes.back().text, "alarm_filedir") << "an empty input path";
}

TEST(FillFormat, OnlyTheFirstPercentSIsFilled) {
  EXPECT_EQ(package::FillFormat("built %s.", "a.bin"), "built a.bin.");
  EXPECT_EQ(package::FillFormat("%s and %s %d %n 100%%", "x"), "x and %s %d %n 100%");
  EXPECT_EQ(package::FillFormat("no format", "x"), "no format");
  EXPECT_EQ(package::FillFormat("trailing %", "x"), "trailing %");
}

}  // namespace
