// Reproducible incompressible test data.
#pragma once

#include <cstddef>
#include <random>
#include <string>

inline std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}
