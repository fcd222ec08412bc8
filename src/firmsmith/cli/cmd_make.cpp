// firmsmith-cli make JOB.ini [--no-pauses]: runs the make operation from a
// job file. Every message box is printed (translated) on standard error; the
// exit status is 0 when the run ends with its success message.
#include <string>

#include "common/platform/cli.h"
#include "common/platform/message_sink.h"
#include "common/platform/progdir.h"
#include "common/uitext/language_table.h"
#include "firmsmith/check/package_verify.h"
#include "firmsmith/package/make/job_file.h"
#include "firmsmith/package/make/make_operation.h"
#include "firmsmith/products/product_profile.h"

namespace {

int RunMake(const std::vector<std::string>& args) {
  const std::vector<std::string> positionals = platform::CliPositionals(args, {});
  if (positionals.size() != 1) return platform::CliUsage("make: expected one job file (make JOB.ini)");

  const std::string programDirectory = platform::GetProgramDirectory();
  uitext::CInitLanguage* language = uitext::CInitLanguage::GetInstance();
  language->SetBasePath(programDirectory);
  language->LoadLanguage();

  const products::ProductList products = products::LoadProductProfiles(programDirectory);
  package::JobFile job;
  std::string error;
  if (!package::LoadJobFile(positionals[0], products, programDirectory, &job, &error) ||
      !package::StageJobLanguages(&job, programDirectory, &error))
    return platform::CliFail(error);

  platform::StderrMessageSink sink;
  package::MakeEnvironment environment;
  environment.programDirectory = programDirectory;
  environment.sink = &sink;
  environment.pauseScale = platform::CliHasFlag(args, "--no-pauses") ? 0.0 : 1.0;
  environment.verifyOutput = check::MakeOutputVerifier();
  return package::RunMakeOperation(job.options, environment) == package::MakeOutcome::kFailed ? 1 : 0;
}

const platform::CliRegistration kMake{
    {"make", "JOB.ini [--no-pauses]",
     "Rework an upgrade package or flash image, or build a new package, as the job file says.",
     RunMake}};

}  // namespace
