// The make operation of Firmsmith: validates the option model, then either
// reworks the chosen upgrade package or flash image slot by slot, or builds a
// new upgrade package from folders. Every failure shows one message box
// through the environment's sink and ends the run; the input file is never
// left half-written (a rework packs beside it and replaces it only once the
// new package is complete).
#pragma once

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
  // Scales the fixed pauses between unpacking steps (1 s, 2 s, 2 s, 200 ms);
  // tests set 0.
  double pauseScale = 1.0;
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

// One box: GetString(textKey), caption GetString(captionKey) or the
// application title when captionKey is empty.
void ShowMessageKey(const MakeEnvironment& environment, const std::string& textKey,
                    const std::string& captionKey = "");
// The same with the translation used as a format whose first "%s" takes `argument`.
void ShowFormattedKey(const MakeEnvironment& environment, const std::string& textKey,
                      const std::string& argument, const std::string& captionKey = "");
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
// after one box ("alarm_make" caption) naming the file and its problems.
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
// A chosen output path that exists already and may not be replaced, or
// that is no regular file: the reason names it.
inline constexpr const char* kOutputExistsKey = "make_updatefile_failed";
// True when the run may write its result to `path`; otherwise the reason is
// in *why. `input` (may be empty) must not be the same file.
bool OutputPathUsable(const std::string& path, bool mayReplace, const std::string& input,
                      std::string* why);

// Sleeps seconds × pauseScale.
void Pause(const MakeEnvironment& environment, double seconds);

// "%04d%02d%02d_%02d%02d%02d" of the current UTC time.
std::string TimeStamp();
// The run's private temporary folder (make_run_folders.h), made on first
// use. False with the reason when there is no run or it cannot be made.
platform::Status MakeTemporaryFolder(const MakeEnvironment& environment, std::string* folder);

}  // namespace package
