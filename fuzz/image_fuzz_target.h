#pragma once

#include <cstddef>
#include <cstdint>

// Decodes arbitrary bytes as an image file of any depth, and as the 8-bit
// readers see it. Any failure must be a clean imgio::ImageError.
void fuzzImageInput(const std::uint8_t* data, std::size_t size);
