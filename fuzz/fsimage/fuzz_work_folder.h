// A private scratch folder for one fuzzer process, made once.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

inline const std::string& FuzzWorkFolder(const char* name) {
  static const std::string folder = [name] {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + name + "-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    return tmpl;
  }();
  return folder;
}

inline void FuzzWriteFile(const std::string& path, const void* data, std::size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}
