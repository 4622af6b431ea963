#pragma once

// Image files built through libpng and libtiff in layouts the tool never
// writes, and helpers that the image file tests share.

#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "imgio/image_io.h"

using Bytes = std::vector<unsigned char>;

// The message of the ImageError that action throws, empty if none.
inline std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const imgio::ImageError& e) {
    return e.what();
  }
  return {};
}

// Samples as bytes, most significant first or in the host's order.
inline Bytes sampleBytes(const std::vector<std::uint16_t>& samples, bool bigEndian = false) {
  Bytes bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  if (bigEndian != (std::endian::native == std::endian::big))
    for (std::size_t i = 0; i < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
  return bytes;
}

// An interlaced PNG written by libpng from pels of a byte each (palette
// indices or gray levels) packed to bitDepth, or of two bytes for 16 bits.
inline std::string interlacedPng(std::uint32_t width, std::uint32_t height, int bitDepth,
                                 int colourType, Bytes pels,
                                 const std::vector<png_color>& palette) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::string file;
  png_set_write_fn(
      png, &file,
      [](png_structp p, png_bytep data, std::size_t n) {
        static_cast<std::string*>(png_get_io_ptr(p))->append(reinterpret_cast<char*>(data), n);
      },
      nullptr);
  png_set_IHDR(png, info, width, height, bitDepth, colourType, PNG_INTERLACE_ADAM7,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!palette.empty()) png_set_PLTE(png, info, palette.data(), int(palette.size()));
  png_write_info(png, info);
  png_set_packing(png);
  std::vector<png_bytep> rows;
  for (std::uint32_t y = 0; y < height; ++y) rows.push_back(&pels[y * pels.size() / height]);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return file;
}

// A TIFF layout: tiles of tileSide (0: strips of rowsPerStrip rows), the
// samples of each pel, their bits and the orientation of the rows.
struct TiffLayout {
  uint32_t tileSide = 0;
  uint32_t rowsPerStrip = 1;
  uint32_t samplesPerPixel = 1;
  uint16_t orientation = ORIENTATION_TOPLEFT;
  uint16_t bits = 8;
  uint16_t alpha = EXTRASAMPLE_ASSOCALPHA;  // the kind of a second or fourth sample
  int photometric = -1;                     // -1: gray or RGB by the samples
  bool bigEndian = false;
  double maxSample = 0;  // SMaxSampleValue, if not 0
  uint16_t planar = PLANARCONFIG_CONTIG;
};

// Writes interleaved pels of the layout, uncompressed, through libtiff's
// tile or strip writer.
inline void writeTiff(const std::string& file, const TiffLayout& layout, uint32_t width,
                      uint32_t height, const Bytes& pels) {
  TIFF* tiff = TIFFOpen(file.c_str(), layout.bigEndian ? "wb" : "w");
  ASSERT_NE(tiff, nullptr);
  const uint32_t spp = layout.samplesPerPixel, tile = layout.tileSide;
  const uint32_t pelBytes = spp * layout.bits / 8;
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, layout.bits);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, static_cast<uint16_t>(spp));
  const auto photometric = uint16_t(layout.photometric >= 0 ? layout.photometric
                                    : spp >= 3              ? PHOTOMETRIC_RGB
                                                            : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, photometric);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, layout.planar);
  TIFFSetField(tiff, TIFFTAG_ORIENTATION, layout.orientation);
  if (layout.maxSample > 0) TIFFSetField(tiff, TIFFTAG_SMAXSAMPLEVALUE, layout.maxSample);
  if ((spp == 2 || spp == 4) && photometric != PHOTOMETRIC_SEPARATED)
    TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &layout.alpha);
  if (tile == 0) {
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, layout.rowsPerStrip);
    const uint32_t planes = layout.planar == PLANARCONFIG_SEPARATE ? spp : 1;
    for (uint32_t p = 0; p < planes; ++p)
      for (uint32_t y = 0; y < height; ++y) {
        Bytes row;  // the plane's samples of the row, which the writer may change
        for (auto at = pels.begin() + y * width * pelBytes + p * pelBytes / planes;
             row.size() < width * pelBytes / planes; at += pelBytes)
          row.insert(row.end(), at, at + pelBytes / planes);
        TIFFWriteScanline(tiff, row.data(), y, uint16_t(p));
      }
  } else {
    TIFFSetField(tiff, TIFFTAG_TILEWIDTH, tile);
    TIFFSetField(tiff, TIFFTAG_TILELENGTH, tile);
    Bytes buffer(tile * tile * pelBytes);
    for (uint32_t ty = 0; ty < height; ty += tile)
      for (uint32_t tx = 0; tx < width; tx += tile) {
        std::fill(buffer.begin(), buffer.end(), 0);
        for (uint32_t y = ty; y < std::min(height, ty + tile); ++y)
          for (uint32_t x = tx; x < std::min(width, tx + tile); ++x)
            for (uint32_t s = 0; s < pelBytes; ++s)
              buffer[((y - ty) * tile + x - tx) * pelBytes + s] =
                  pels[(y * width + x) * pelBytes + s];
        TIFFWriteTile(tiff, buffer.data(), tx, ty, 0, 0);
      }
  }
  TIFFClose(tiff);
}
