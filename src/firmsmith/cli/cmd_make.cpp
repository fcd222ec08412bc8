// firmsmith-cli make JOB.ini [--out FILE [--force]] [--no-pauses] [--dry-run] [--builds N]
// [--progress]: runs the make operation from a job file. Every message box
// is printed (translated) on standard error; standard output carries only
// the path of what the run wrote (with --dry-run: the plan, and nothing is
// written). The exit status is 0 when the run ends with its success message,
// 2 when the job file is refused, 1 when the run fails.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/platform/cli.h"
#include "common/platform/file_ops.h"
#include "common/platform/files.h"
#include "common/platform/message_sink.h"
#include "common/platform/password.h"
#include "common/platform/progdir.h"
#include "common/uitext/language_table.h"
#include "firmsmith/check/package_verify.h"
#include "firmsmith/package/make/job_file.h"
#include "firmsmith/package/make/make_operation.h"
#include "firmsmith/package/make/make_plan.h"
#include "firmsmith/products/product_profile.h"

namespace {

// More builds at once than this only wait for the disk.
constexpr unsigned long kMostBuilds = 64;

// Progress on standard error: one line per step; a step that counts its
// bytes rewrites its line in place on a terminal, and prints each tenth of the
// way when standard error is a file.
class ProgressPrinter {
 public:
  explicit ProgressPrinter(bool terminal) : terminal_(terminal) {}
  ~ProgressPrinter() { EndInPlaceLine(); }
  ProgressPrinter(const ProgressPrinter&) = delete;
  ProgressPrinter& operator=(const ProgressPrinter&) = delete;

  void Show(const package::MakeProgress& p) {
    const std::string step = std::to_string(static_cast<int>(p.step)) + ":" + p.subject;
    const bool newStep = step != step_;
    if (newStep) {
      EndInPlaceLine();
      step_ = step;
      tenth_ = -1;
    }
    const std::string line = package::DescribeProgress(p);
    if (p.total != 0 && terminal_) {
      std::fprintf(stderr, "\r%s\033[K", line.c_str());
      inPlace_ = true;
      return;
    }
    if (p.total != 0) {
      const int tenth = static_cast<int>((p.done >= p.total ? p.total : p.done) * 10 / p.total);
      if (tenth == tenth_) return;
      tenth_ = tenth;
    } else if (!newStep) {
      return;  // the same step without a count again
    }
    std::fprintf(stderr, "%s\n", line.c_str());
  }

 private:
  void EndInPlaceLine() {
    if (inPlace_) std::fputs("\n", stderr);
    inPlace_ = false;
  }
  const bool terminal_;
  std::string step_;
  int tenth_ = -1;
  bool inPlace_ = false;
};

int RunMake(const std::vector<std::string>& args) {
  const std::vector<std::string> positionals = platform::CliPositionals(args, {"--out", "--builds"});
  if (positionals.size() != 1)
    return platform::CliUsage("make: expected one job file (make JOB.ini)");
  const std::string* out = platform::CliOption(args, "--out");
  for (const std::string& a : args)
    if (a.rfind("--", 0) == 0 && a != "--no-pauses" && a != "--dry-run" && a != "--progress" &&
        a != "--out" && a != "--force" && a != "--builds" && (out == nullptr || &a != out))
      return platform::CliUsage("make: unknown option " + a);
  unsigned builds = 0;
  if (platform::CliHasFlag(args, "--builds")) {
    const std::string* n = platform::CliOption(args, "--builds");
    char* end = nullptr;
    const unsigned long value = n == nullptr ? 0 : std::strtoul(n->c_str(), &end, 10);
    if (n == nullptr || n->empty() || *end != '\0' || value < 1 || value > kMostBuilds)
      return platform::CliUsage("make: --builds needs a number from 1 to " + std::to_string(kMostBuilds));
    builds = static_cast<unsigned>(value);
  }
  if ((out == nullptr && platform::CliHasFlag(args, "--out")) || (out != nullptr && out->empty()))
    return platform::CliUsage("make: --out needs a file name");
  if (out == nullptr && platform::CliHasFlag(args, "--force"))
    return platform::CliUsage("make: --force needs --out FILE");

  const std::string programDirectory = platform::GetProgramDirectory();
  uitext::CInitLanguage* language = uitext::CInitLanguage::GetInstance();
  language->SetBasePath(programDirectory);
  language->LoadLanguage();

  const products::ProductList products = products::LoadProductProfiles(programDirectory);
  package::JobFile job;
  std::string error;
  // A mistake in the job is the operator's to mend before anything is done.
  if (!package::LoadJobFile(positionals[0], products, programDirectory, &job, &error))
    return platform::CliUsage(error);

  // The device login of Configs= never goes out with an empty password by
  // default: the variable, else a prompt on a terminal, else stop here.
  if (job.needsPassword) {
    if (platform::Status given =
            platform::ResolvePassword(nullptr, "FIRMSMITH_PASSWORD", &job.options.password);
        !given)
      return platform::CliUsage(positionals[0] +
                                ": [Custom] Configs= reads the device: " + given.message);
  }
  if (out != nullptr) {
    job.options.outputPath = *out;
    job.options.replaceOutput = platform::CliHasFlag(args, "--force");
  }

  platform::StderrMessageSink sink;
  package::MakeEnvironment environment;
  environment.programDirectory = programDirectory;
  environment.sink = &sink;
  // --no-pauses wins over a Config.ini that restores the pauses.
  environment.pauseScale = platform::CliHasFlag(args, "--no-pauses")
                               ? 0.0
                               : package::ConfiguredPauseScale(programDirectory);
  environment.verifyOutput = check::MakeOutputVerifier();
  environment.buildThreads = builds;

  if (platform::CliHasFlag(args, "--dry-run")) {
    package::MakePlan plan;
    if (!package::PlanMakeRun(job.options, environment, &plan, &error))
      return error.empty() ? platform::kCliFailure : platform::CliFail("make --dry-run: " + error);
    std::vector<std::string> languages;
    if (!package::JobLanguageFiles(job, &languages, &error)) return platform::CliFail(error);
    std::string text = package::FormatMakePlan(plan);
    if (!languages.empty()) {
      std::string list;
      for (const std::string& l : languages) list += (list.empty() ? "" : ", ") + l;
      text += "languages:   " + list + " (data/Strings emptied first)\n";
    }
    std::fputs(text.c_str(), stdout);
    return 0;
  }

  // The languages are staged in a folder of this run alone, not in the
  // program folder's shared "TempStrings": runs at the same time must not
  // take each other's languages.
  platform::TempFolder staging;
  if (platform::Status made = staging.Create(programDirectory, "tmp-strings-"); !made)
    return platform::CliFail(made.message);
  if (!package::StageJobLanguages(&job, staging.path() + "/", &error))
    return platform::CliFail(error);
  job.options.stagedStringsFolder = platform::JoinPath(staging.path(), "TempStrings");
  // Steps are shown on a terminal, or when asked for; never mixed into output.
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  ProgressPrinter printer(terminal);
  if (terminal || platform::CliHasFlag(args, "--progress"))
    environment.progress = [&printer](const package::MakeProgress& p) { printer.Show(p); };
  const package::MakeOutcome outcome = package::RunMakeOperation(job.options, environment);
  if (outcome == package::MakeOutcome::kFailed) return platform::kCliFailure;
  // The result, for scripts.
  std::printf("%s\n", package::MakeOutputPath(job.options, environment).c_str());
  return 0;
}

const platform::CliRegistration kMake{
    {"make", "JOB.ini [--out FILE [--force]] [--no-pauses] [--dry-run] [--progress] [--builds N]",
     "Rework an upgrade package or flash image, or build a new package, as the job file says; "
     "prints the path written.",
     RunMake,
     "JOB.ini is described in docs/job-files.md; a mistake in it (unknown key, value out\n"
     "of range, missing folder) exits 2 naming JOB.ini:LINE before anything is done.\n"
     "  --out FILE   write the result to FILE (a rework leaves its input, .bak and .prev alone)\n"
     "  --force      replace FILE when it exists (without it the run stops naming FILE)\n"
     "  --dry-run    check everything a run checks and print the plan (partitions, source\n"
     "               folders, file systems, bounds, InstallDesc changes, output); writes nothing\n"
     "  --no-pauses  drop the fixed waits between unpacking steps\n"
     "  --progress   one line per step on standard error even when it is not a terminal\n"
     "  --builds N   at most N partitions built at once (default: two per core; 1: one after\n"
     "               another)\n"
     "Example: make data/demo/new-package.ini --no-pauses"}};

}  // namespace
