// firmsmith-cli verify PACKAGE [--product NAME]: exit status 0 when every
// check passes, else 1 with one line per problem on standard error. Without
// --product the product is recognised from the package where one fits.
#include <iostream>

#include "common/platform/cli.h"
#include "common/platform/progdir.h"
#include "firmsmith/check/package_inspect.h"
#include "firmsmith/check/package_verify.h"

namespace {

int RunVerify(const std::vector<std::string>& args) {
  const std::vector<std::string> positionals = platform::CliPositionals(args, {"--product"});
  if (positionals.size() != 1) return platform::CliUsage("verify: expected one package (verify PACKAGE)");
  std::string error;
  products::ProductProfile storage;
  const products::ProductProfile* product = nullptr;
  if (!check::ProductOption(args, &storage, &product, &error)) return platform::CliFail(error);
  std::vector<std::string> problems;
  {
    check::TraceToStderr quiet;
    if (product == nullptr) {
      // Without --product the package's own stamp or layout names it, so
      // that the bounds are checked all the same.
      const products::ProductList known = products::LoadProductProfiles(platform::GetProgramDirectory());
      std::string why;
      problems = check::VerifyRecognising(positionals[0], known, &why);
      if (!why.empty()) std::cerr << positionals[0] << ": note: partition bounds were not checked: " << why << "\n";
    } else {
      problems = check::VerifyPackage(positionals[0], product);
    }
  }
  for (const std::string& line : problems) std::cerr << positionals[0] << ": " << line << "\n";
  if (!problems.empty()) return 1;
  std::cout << positionals[0] << ": ok\n";
  return 0;
}

const platform::CliRegistration kVerify{
    {"verify", "PACKAGE [--product NAME|FILE.ini]",
     "Check a package or flash image before shipping; one line per problem, exit status 1 if any.",
     RunVerify}};

}  // namespace
