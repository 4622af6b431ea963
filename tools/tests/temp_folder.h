#pragma once

// A fresh folder per test, removed with everything in it afterwards.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "imgio/image_io.h"

using Names = std::vector<std::string>;

class TempFolderTest : public ::testing::Test {
 public:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "imgnorm-cli-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string path(const std::string& name) const { return (folder_ / name).string(); }

  // Names of the files in the folder (not recursive), sorted.
  std::vector<std::string> listing(const std::string& sub = "") const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_ / sub))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  static void writeFile(const std::string& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary);
    out << bytes;
  }
  static std::string readFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  static imgio::GrayImage randomImage(long width, long height, unsigned seed) {
    std::mt19937 random(seed);
    imgio::GrayImage image{width, height,
                           std::vector<unsigned char>(static_cast<std::size_t>(width * height))};
    for (auto& pel : image.pels) pel = static_cast<unsigned char>(random() & 0xff);
    return image;
  }

  std::filesystem::path folder_;
};
