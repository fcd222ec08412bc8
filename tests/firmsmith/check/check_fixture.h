// The test product of the check tests: where its partitions lie, its product
// file, and text files that compress like a partition's scripts.
#pragma once

#include <cstdint>
#include <string>

namespace checktest {

inline constexpr std::uint32_t kUserStart = 0x00250000, kUserEnd = 0x00650000;
inline constexpr std::uint32_t kCustomStart = 0x00850000, kCustomEnd = 0x00950000;

// TestBox with its USER and CUSTOM partitions.
inline constexpr const char kTestBoxIni[] =
    "[Product]\nname=TestBox\nvendor=Vend\nhardware=HW-T\n"
    "[USER]\nstart=0x00250000\nend=0x00650000\nfs=cramfs\n"
    "[CUSTOM]\nstart=0x00850000\nend=0x00950000\nfs=cramfs\n";

inline std::string Text(int lines, const std::string& seed) {
  std::string s;
  for (int i = 0; i < lines; ++i) s += seed + " line " + std::to_string(i * 7919 % 1013) + "\n";
  return s;
}

}  // namespace checktest
