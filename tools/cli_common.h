#pragma once

// What the commands share: exit codes, failures, and the bridge between image files and the tool's
// pel buffers.

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/pel_buffer.h"
#include "imgio/image_io.h"

namespace cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitNotNormalized = 1,  // the tool ran and could not normalize
  kExitBadInput = 2,       // bad usage, unreadable input, unwritable output
  kExitInterrupted = 130,
};

// A failure that ends a command (or one image of a batch) with its code.
class Failure : public std::runtime_error {
 public:
  Failure(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

[[noreturn]] inline void failBadInput(const std::string& message) {
  throw Failure(kExitBadInput, message);
}

// Reads an input image of at most maxPels pels; unreadable files become
// kExitBadInput failures. The first colour image of the process converted
// to gray gets a note.
imgio::GrayImage readInputImage(const std::string& path, long maxPels);
imgio::ColorImage readInputColorImage(const std::string& path, long maxPels);
// 8-bit, or 16-bit for files of more bits a sample.
imgio::AnyDepthImage readInputAnyImage(const std::string& path, long maxPels);
void noteColourConverted(const std::string& path);

// Refuses (kExitBadInput) an image whose size differs from the reference's.
void checkSameSize(long width, long height, const std::string& path, long referenceWidth,
                   long referenceHeight);

kcPelBuffer<unsigned char> toPelBuffer(const imgio::GrayImage& image);
imgio::GrayImage toGrayImage(const kcPelBuffer_const<unsigned char>& buffer);

// Paths in one spelling (symbolic links resolved), to compare outputs with
// inputs. Empty paths are left out.
std::set<std::string> canonicalPaths(const std::vector<std::string>& paths);
std::string canonicalPath(const std::string& path);

// Refuses (kExitBadInput) an output path that names one of the inputs (as
// canonicalPaths gives them) or an existing folder.
void checkOutputPath(const std::string& output, const std::set<std::string>& inputs);
// Refuses (kExitBadInput) an output path whose folder does not exist.
void checkFolderOf(const std::string& output);

// Text of the library's wide messages.
std::string narrow(const std::wstring& text);

}  // namespace cli
