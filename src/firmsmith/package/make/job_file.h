// Job files: a make run written down as an INI file, for firmsmith-cli and
// for automation. Sections [Job], [Partitions], [FileSystems] and [Custom]
// (described with an example in docs/job-files.md) fill the same option
// model the main dialog fills, with the dialog's defaults for everything
// left out and the dialog's rules for what may be ticked together. Relative
// paths are taken from the job file's folder. The strict line rules are in
// job_file_syntax.h.
#pragma once

#include <string>
#include <vector>

#include "firmsmith/package/make/make_options.h"
#include "firmsmith/products/product_profile.h"

namespace package {

struct JobFile {
  MakeOptions options;
  std::vector<std::string> languages;  // [Custom] Languages, for a FullLanguage folder
  // The run logs in to the device (Configs= empty) and the job names no
  // Password: the caller must find one (never an empty one by default).
  bool needsPassword = false;
};

// Reads the job strictly, before anything is done: an unknown section or key
// (with the nearest known name), a section or key given twice, a value
// outside its set, a folder or file that does not exist, or a key that would
// change nothing (e.g. OEMDevType when the input's DevID is not 24
// characters) is refused. `products` is the product list of the program
// folder, `programDirectory` its folder (for Config.ini). False with one line
// "<path>:<line>: <reason>" in *error. Reads the input package (for its
// DevID) but writes nothing outside a private temporary folder.
bool LoadJobFile(const std::string& path, const products::ProductList& products,
                 const std::string& programDirectory, JobFile* job, std::string* error);

// The language files a FullLanguage strings folder gives: English (which
// must exist), then the listed ones, or with no list every extensionless
// file of the folder as the window ticks them all; Korean only with
// KoreanFonts. Empty for other strings folders. Reads only.
bool JobLanguageFiles(const JobFile& job, std::vector<std::string>* names, std::string* error);

// What the language selection does for a FullLanguage strings folder:
// empties "<program folder>TempStrings" and copies the JobLanguageFiles into
// it. Marks the options as having languages selected (the custom partition's
// data/Strings is then emptied before they go in).
bool StageJobLanguages(JobFile* job, const std::string& programDirectory, std::string* error);

}  // namespace package
