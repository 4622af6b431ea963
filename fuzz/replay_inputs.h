#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Hands consume the name and bytes of every file in each of the folders
// that exist, as the tests replay a fuzzer's corpus and the inputs of past
// crashes; returns how many files it handed over.
template <typename Consume>
std::size_t replayInputs(const std::vector<std::filesystem::path>& folders, Consume consume) {
  std::size_t replayed = 0;
  for (const auto& folder : folders) {
    if (!std::filesystem::exists(folder)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                             std::istreambuf_iterator<char>());
      consume(entry.path().string(), bytes);
      ++replayed;
    }
  }
  return replayed;
}
