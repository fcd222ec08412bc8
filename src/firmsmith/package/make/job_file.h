// Job files: a make run written down as an INI file, for firmsmith-cli and
// for automation. Sections [Job], [Partitions], [FileSystems] and [Custom]
// (described with an example in docs/job-files.md) fill the same option
// model the main dialog fills, with the dialog's defaults for everything
// left out and the dialog's rules for what may be ticked together. Relative
// paths are taken from the job file's folder.
#pragma once

#include <string>
#include <vector>

#include "firmsmith/package/make/make_options.h"
#include "firmsmith/products/product_profile.h"

namespace package {

struct JobFile {
  MakeOptions options;
  std::vector<std::string> languages;  // [Custom] Languages, for a FullLanguage folder
};

// Reads the job. `products` is the product list of the program folder,
// `programDirectory` its folder (for Config.ini defaults). False with one
// line naming the key and the reason in *error.
bool LoadJobFile(const std::string& path, const products::ProductList& products,
                 const std::string& programDirectory, JobFile* job, std::string* error);

// What the language selection does for a FullLanguage strings folder:
// empties "<program folder>TempStrings" and copies English (which must
// exist), the listed languages and, when listed, Korean into it. Marks the
// options as having languages selected.
bool StageJobLanguages(JobFile* job, const std::string& programDirectory, std::string* error);

}  // namespace package
