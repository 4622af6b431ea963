#pragma once

#include <cstddef>
#include <cstdint>

// Decodes arbitrary bytes as an image file of any depth, as the 8-bit
// readers see it, and row by row as a file. Any failure must be a clean
// imgio::ImageError.
void fuzzImageInput(const std::uint8_t* data, std::size_t size);
