#include "firmsmith/package/make/make_operation.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include <sys/stat.h>

#include "common/uitext/language_table.h"
#include "common/platform/fd.h"
#include "common/platform/file_ops.h"
#include "common/platform/profile.h"
#include "firmsmith/package/make/make_run_folders.h"
#include "firmsmith/package/make/make_steps.h"

namespace package {

platform::MessageSink& SinkOf(const MakeEnvironment& environment) {
  static platform::StderrMessageSink fallback;
  return environment.sink ? *environment.sink : fallback;
}

void ShowMessageKey(const MakeEnvironment& environment, const std::string& textKey,
                    const std::string& captionKey) {
  SinkOf(environment).ShowDetailed(
      uitext::GetString(textKey),
      captionKey.empty() ? kApplicationTitle : uitext::GetString(captionKey), "",
      platform::MessageSeverity::Warning);
}

void ShowWrittenKey(const MakeEnvironment& environment, const std::string& textKey,
                    const std::string& writtenPath, const std::string& argument) {
  std::string text = uitext::GetString(textKey);
  if (!argument.empty()) text = FillFormat(text, argument);
  SinkOf(environment).ShowDetailed(text, kApplicationTitle, DescribeWrittenFile(writtenPath),
                                   platform::MessageSeverity::Information);
}

std::string DescribeWrittenFile(const std::string& path) {
  struct stat st {};
  const std::string size =
      ::stat(path.c_str(), &st) == 0
          ? FillFormat(uitext::GetString(kWrittenSizeKey), std::to_string(st.st_size))
          : platform::ErrnoReason("cannot read the size of " + path);
  return FillFormat(uitext::GetString(kWrittenFileKey), platform::BaseName(path)) + "\n" + size +
         "\n" + FillFormat(uitext::GetString(kWrittenFolderKey), platform::ParentFolder(path));
}

void ShowFailureKey(const MakeEnvironment& environment, const std::string& textKey,
                    const std::string& captionKey, const std::string& reason,
                    const std::string& argument) {
  std::string text = uitext::GetString(textKey);
  if (!argument.empty()) text = FillFormat(text, argument);
  SinkOf(environment).ShowFailure(
      text, captionKey.empty() ? kApplicationTitle : uitext::GetString(captionKey), reason);
}

std::string FillFormat(const std::string& format, const std::string& argument) {
  std::string out;
  bool filled = false;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      if (format[i + 1] == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (format[i + 1] == 's' && !filled) {
        out += argument;
        filled = true;
        ++i;
        continue;
      }
    }
    out += format[i];
  }
  return out;
}

void ReportStep(const MakeEnvironment& environment, MakeStep step, const std::string& subject,
                const std::string& detail) {
  if (!environment.progress) return;
  MakeProgress progress;
  progress.step = step;
  progress.subject = subject;
  progress.detail = detail;
  environment.progress(progress);
}

std::function<void(std::uint64_t, std::uint64_t)> StepCounter(const MakeEnvironment& environment,
                                                               MakeStep step, const std::string& subject) {
  if (!environment.progress) return {};
  // A count calls many times per percent; the listener hears each percent once.
  return [&environment, step, subject, told = -1](std::uint64_t done, std::uint64_t total) mutable {
    if (total == 0) return;
    const int percent = static_cast<int>((done < total ? done : total) * 100 / total);
    if (percent <= told) return;
    told = percent;
    MakeProgress progress;
    progress.step = step;
    progress.subject = subject;
    progress.done = done;
    progress.total = total;
    environment.progress(progress);
  };
}

bool VerifyWrittenOutput(const MakeEnvironment& environment, const std::string& checkedPath,
                         const std::string& shownPath, const products::ProductProfile* product) {
  if (!environment.verifyOutput) return true;
  ReportStep(environment, MakeStep::kChecking, platform::BaseName(shownPath));
  std::string problems;
  if (environment.verifyOutput(checkedPath, product, &problems)) return true;
  // A file that fails its check must never be announced as made, nor
  // replace anything.
  SinkOf(environment).ShowDetailed(FillFormat(uitext::GetString(kOutputCheckFailedKey), shownPath),
                                   uitext::GetString("alarm_make"), problems,
                                   platform::MessageSeverity::Critical);
  return false;
}

bool OutputPathUsable(const std::string& path, bool mayReplace, const std::string& input,
                      std::string* why) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return true;
  if (!input.empty() && platform::SameFile(path, input)) {
    *why = path + ": is the input file itself";
    return false;
  }
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    *why = path + ": not a regular file";
    return false;
  }
  if (!mayReplace) {
    *why = path + ": exists already (--force replaces it)";
    return false;
  }
  return true;
}

void Pause(const MakeEnvironment& environment, double seconds) {
  const double scaled = seconds * environment.pauseScale;
  if (scaled <= 0) return;
  if (environment.sleep)
    environment.sleep(scaled);
  else
    std::this_thread::sleep_for(std::chrono::duration<double>(scaled));
}

double ConfiguredPauseScale(const std::string& programDirectory) {
  const platform::Profile config = platform::Profile::Load(programDirectory + "Config.ini");
  return config.GetInt(kToolsSection, kPausesKey, 0) != 0 ? 1.0 : 0.0;
}

std::string TimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d_%02d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

platform::Status MakeTemporaryFolder(const MakeEnvironment& environment, std::string* folder) {
  if (environment.run == nullptr)
    return platform::Status::Fail("no make run under way for a temporary folder in " +
                                  environment.programDirectory);
  return environment.run->Temporary(folder);
}

bool ValidateMakeOptions(const MakeOptions& o, const MakeEnvironment& environment) {
  bool anyTicked = false;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (!o.SlotTicked(slot)) continue;
    anyTicked = true;
    const SlotRule& rule = SlotRuleOf(slot);
    const std::string path = slot <= kSlotYlk ? o.slots[slot].sourcePath : "";
    if (path.empty()) {
      const bool customOption = o.SlotTicked(kSlotStrings) || o.SlotTicked(kSlotMtd) ||
                                o.SlotTicked(kSlotUbootLogo) || o.appDownloadLink ||
                                o.cloudServer || o.deviceModel || o.closeOnlineUpgrade;
      bool allowed = false;
      switch (rule.source) {
        case SlotSource::kFolder:
          // Partitions of an input file only: their paths are checked when
          // the rework reaches them.
          allowed = rule.reworkOnly ||
                    (rule.inPlace == InPlaceRework::kCustomPartition && customOption) ||
                    (rule.inPlace == InPlaceRework::kUserGainLine && o.lineInGain &&
                     o.originalFileLoaded);
          break;
        // The restore-defaults and boot-logo switches share the marks of
        // Pictures and Configs but have no folder of their own; Configs may
        // come from the device.
        case SlotSource::kErasedData: allowed = o.restoreDefaults && !o.pictures; break;
        case SlotSource::kBootLogoData: allowed = o.fromDevice || (o.ubootLogo && !o.configs); break;
        case SlotSource::kNone: break;
      }
      if (!allowed) {
        ShowMessageKey(environment, "alarm_update");
        return false;
      }
    }
    if (rule.inPlace == InPlaceRework::kCustomPartition && o.fromDevice && o.originalFileLoaded &&
        o.slots[slot].sourcePath.empty()) {
      if (o.devicePort.empty()) {
        ShowMessageKey(environment, "alarm_inputPort");
        return false;
      }
      if (o.userName.empty()) {
        ShowMessageKey(environment, "alarm_inputUserName");
        return false;
      }
    }
  }
  if (!anyTicked && !o.oemDevType && !o.unmountPartitions) {
    ShowMessageKey(environment, "alarm_filetype");
    return false;
  }
  return true;
}

MakeOutcome RunMakeOperation(const MakeOptions& options, const MakeEnvironment& environment) {
  if (!ValidateMakeOptions(options, environment)) return MakeOutcome::kFailed;
  // Whatever killed runs left beside the input or in the program folder
  // goes first; this run's own folders go when it ends, however it ends.
  SweepStaleMakeRuns(environment.programDirectory, options.originalFileLoaded ? options.originalFile : "");
  MakeRunFolders folders(environment.programDirectory);
  MakeEnvironment run = environment;
  run.run = &folders;
  if (options.originalFileLoaded)
    return ReworkPackage(options, run) ? MakeOutcome::kReworked : MakeOutcome::kFailed;
  if (options.kind == PackageKind::NetworkUpgrades)
    return BuildPackageFromFolders(options, run) ? MakeOutcome::kPackageBuilt : MakeOutcome::kFailed;
  ShowMessageKey(environment, "alarm_burnfile");
  return MakeOutcome::kFailed;
}

}  // namespace package
