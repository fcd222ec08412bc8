// firmsmith-cli make JOB.ini [--no-pauses] [--dry-run]: runs the make
// operation from a job file. Every message box is printed (translated) on
// standard error; standard output carries only the path of what the run
// wrote (with --dry-run: the plan, and nothing is written). The exit status
// is 0 when the run ends with its success message, 2 when the job file is
// refused, 1 when the run fails.
#include <cstdio>
#include <string>

#include "common/platform/cli.h"
#include "common/platform/message_sink.h"
#include "common/platform/progdir.h"
#include "common/uitext/language_table.h"
#include "firmsmith/check/package_verify.h"
#include "firmsmith/package/make/job_file.h"
#include "firmsmith/package/make/make_operation.h"
#include "firmsmith/package/make/make_plan.h"
#include "firmsmith/products/product_profile.h"

namespace {

int RunMake(const std::vector<std::string>& args) {
  const std::vector<std::string> positionals = platform::CliPositionals(args, {});
  if (positionals.size() != 1) return platform::CliUsage("make: expected one job file (make JOB.ini)");
  for (const std::string& a : args)
    if (a.rfind("--", 0) == 0 && a != "--no-pauses" && a != "--dry-run")
      return platform::CliUsage("make: unknown option " + a);

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

  platform::StderrMessageSink sink;
  package::MakeEnvironment environment;
  environment.programDirectory = programDirectory;
  environment.sink = &sink;
  environment.pauseScale = platform::CliHasFlag(args, "--no-pauses") ? 0.0 : 1.0;
  environment.verifyOutput = check::MakeOutputVerifier();

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

  if (!package::StageJobLanguages(&job, programDirectory, &error)) return platform::CliFail(error);
  const package::MakeOutcome outcome = package::RunMakeOperation(job.options, environment);
  if (outcome == package::MakeOutcome::kFailed) return platform::kCliFailure;
  // The result, for scripts.
  std::printf("%s\n", package::MakeOutputPath(job.options, environment).c_str());
  return 0;
}

const platform::CliRegistration kMake{
    {"make", "JOB.ini [--no-pauses] [--dry-run]",
     "Rework an upgrade package or flash image, or build a new package, as the job file says; "
     "prints the path written.",
     RunMake,
     "JOB.ini is described in docs/job-files.md; a mistake in it (unknown key, value out\n"
     "of range, missing folder) exits 2 naming JOB.ini:LINE before anything is done.\n"
     "  --dry-run    check everything a run checks and print the plan (partitions, source\n"
     "               folders, file systems, bounds, InstallDesc changes, output); writes nothing\n"
     "  --no-pauses  drop the fixed waits between unpacking steps\n"
     "Example: make data/demo/new-package.ini --no-pauses"}};

}  // namespace
