// Reproducible test data: incompressible bytes, and words.
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

// Words with runs of zeros: text enough for deflate to call it text, and
// compressible.
inline std::string Wordy(std::size_t size, unsigned seed) {
  static const char* const kWords[] = {"alpha ", "beta ", "gamma\n", "firmware ", "delta ", "0x1f "};
  const std::string noise = RandomBytes(size, seed);
  std::string s;
  for (std::size_t i = 0; s.size() < size; ++i) s += kWords[static_cast<unsigned char>(noise[i]) % 6];
  s.resize(size);
  return s;
}
