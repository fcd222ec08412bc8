// The make operation of Firmsmith: validates the option model, then either
// reworks the chosen upgrade package or flash image slot by slot, or builds a
// new upgrade package from folders. Every failure shows one message box
// through the environment's sink and ends the run; the input file is never
// left half-written (a rework packs beside it and replaces it only once the
// new package is complete).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/platform/message_sink.h"
#include "common/platform/status.h"
#include "firmsmith/package/make/make_options.h"
#include "firmsmith/package/make/make_progress.h"

namespace package {

class PartitionCustomiser;
class MakeRunFolders;

// Checks a package or flash image the run has just written: true when it is
// sound, else false with one line per problem in *problems. `product` is the
// one whose bounds the written images must carry (nullptr: structure only).
// The checker lives above this library (it reads packages with it), so the
// programs hand it in.
using OutputVerifier = std::function<bool(const std::string& path,
                                          const products::ProductProfile* product,
                                          std::string* problems)>;

// Where and how a run happens; not chosen by the operator.
struct MakeEnvironment {
  std::string programDirectory;  // ends with "/"; Products, imgH.data, tmp*, dist* live here
  platform::MessageSink* sink = nullptr;  // nullptr: standard error
  // Scales the fixed pauses between unpacking steps (1 s, 2 s, 2 s, 200 ms)
  // and after each build or unpack by an external tool (100 ms). They only
  // ever let a Windows workstation settle its files, so a run skips them
  // unless Config.ini asks for them (ConfiguredPauseScale).
  double pauseScale = 0.0;
  // Waits out one scaled pause; empty: the thread sleeps. Lets a caller see
  // every pause a run takes.
  std::function<void(double seconds)> sleep;
  // nullptr: DefaultPartitionCustomiser().
  const PartitionCustomiser* customiser = nullptr;
  // Run on the written package or flash image before the success message;
  // empty: not checked.
  OutputVerifier verifyOutput;
  // Told of every step as it starts; empty: nobody listens.
  MakeProgressCallback progress;
  // The private folders of the run under way; RunMakeOperation sets it for
  // its own run (steps called without a run have no temporary folder).
  MakeRunFolders* run = nullptr;
  // Partition builds a run may have under way at once (build_queue.h):
  // 0 two per core, 1 one after another on the run's own thread.
  unsigned buildThreads = 0;
};

enum class MakeOutcome {
  kFailed,        // a message box told why
  kReworked,      // ended with "alarm_make"
  kPackageBuilt,  // ended with "package_success"
};

MakeOutcome RunMakeOperation(const MakeOptions& options, const MakeEnvironment& environment);

// The validation step alone: true when the run may go on; otherwise its one
// message box was shown.
bool ValidateMakeOptions(const MakeOptions& options, const MakeEnvironment& environment);

// The shared pieces of the operation, also for the customisation steps.
inline constexpr const char* kApplicationTitle = "Firmsmith";

// The environment's sink; a standard-error sink when it names none, so that
// no message is ever dropped.
platform::MessageSink& SinkOf(const MakeEnvironment& environment);

// One box that stops the run, with the warning icon: GetString(textKey),
// caption GetString(captionKey) or the application title when captionKey is
// empty.
void ShowMessageKey(const MakeEnvironment& environment, const std::string& textKey,
                    const std::string& captionKey = "");
// The success box of a run: the translation of `textKey` (with `argument`
// in its first "%s" when given), the application title as caption, and
// DescribeWrittenFile(writtenPath) as its detail.
void ShowWrittenKey(const MakeEnvironment& environment, const std::string& textKey,
                    const std::string& writtenPath, const std::string& argument = "");
// What a run wrote, one line each: the file's name, its size in bytes and
// its folder. A size that cannot be read says why.
inline constexpr const char* kWrittenFileKey = "Firmsmith.File: %s";
inline constexpr const char* kWrittenSizeKey = "Firmsmith.Size: %s bytes";
inline constexpr const char* kWrittenFolderKey = "Firmsmith.Folder: %s";
std::string DescribeWrittenFile(const std::string& path);
// A failure box: the translation of `textKey` (with `argument` in its first
// "%s" when given) and the reason as its detail, so the operator learns which
// file failed and why.
void ShowFailureKey(const MakeEnvironment& environment, const std::string& textKey,
                    const std::string& captionKey, const std::string& reason,
                    const std::string& argument = "");
// Fills the first "%s" of `format` with `argument`; "%%" gives "%"; any other
// "%" sequence stays as written (a translation is never trusted as a format).
std::string FillFormat(const std::string& format, const std::string& argument);

// Runs the environment's verifier on what the run wrote at `checkedPath`
// (still under its temporary name) before it replaces `shownPath`. False
// after one critical box ("alarm_make" caption) naming the file, its problems
// as the detail.
inline constexpr const char* kOutputCheckFailedKey =
    "Firmsmith.%s was written but does not pass its check:";
bool VerifyWrittenOutput(const MakeEnvironment& environment, const std::string& checkedPath,
                         const std::string& shownPath, const products::ProductProfile* product);

// An image or file system of the input that fails its check: a format with
// the partition's name, the damage as the reason. Nothing is written.
inline constexpr const char* kDamagedPartitionKey =
    "Firmsmith.The partition %s of the input file is damaged; nothing was written.";

// Tells the environment's listener that a step starts.
void ReportStep(const MakeEnvironment& environment, MakeStep step, const std::string& subject,
                const std::string& detail = std::string());
// A byte count for a long step (unpacking, packing): each call that reaches
// a further whole percent tells the listener the step with done/total.
// Called on the thread that runs the operation, as the events must come.
std::function<void(std::uint64_t done, std::uint64_t total)> StepCounter(const MakeEnvironment& environment,
                                                                         MakeStep step,
                                                                         const std::string& subject);
// A chosen output path that exists already and may not be replaced, or
// that is no regular file: the reason names it.
inline constexpr const char* kOutputExistsKey = "make_updatefile_failed";
// True when the run may write its result to `path`; otherwise the reason is
// in *why. `input` (may be empty) must not be the same file.
bool OutputPathUsable(const std::string& path, bool mayReplace, const std::string& input,
                      std::string* why);

// Waits seconds × pauseScale (through the environment's sleep when it has
// one); a scale of 0 waits not at all.
void Pause(const MakeEnvironment& environment, double seconds);
// The pause after mksquashfs, mkfs.jffs2 or unsquashfs has built or unpacked
// a partition (build_queue.h, partition_unpack.h).
inline constexpr double kToolSettleSeconds = 0.1;

// The tool setting that brings the fixed pauses back: [Tools] Pauses=1 in
// the program folder's Config.ini gives scale 1; missing or 0 gives 0.
inline constexpr char kToolsSection[] = "Tools";
inline constexpr char kPausesKey[] = "Pauses";
double ConfiguredPauseScale(const std::string& programDirectory);

// "%04d%02d%02d_%02d%02d%02d" of the current UTC time.
std::string TimeStamp();
// The run's private temporary folder (make_run_folders.h), made on first
// use. False with the reason when there is no run or it cannot be made.
platform::Status MakeTemporaryFolder(const MakeEnvironment& environment, std::string* folder);

}  // namespace package
