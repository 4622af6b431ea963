#pragma once

#include <cstddef>
#include <cstdint>

// Loads arbitrary bytes as a gray or colour tool (first byte even) or as an
// error object (first byte odd). Any failure must be a clean exception.
void fuzzArchiveInput(const std::uint8_t* data, std::size_t size);
