#include "imgio/detail/tile_deflate.h"

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <thread>

namespace imgio::detail {

namespace {

// libtiff's own level for deflate at its default quality, so that a tile
// compresses as the whole-image writer's strips do.
constexpr int kLevel = 6;

struct CompressorFree {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;

std::vector<unsigned char> deflated(libdeflate_compressor* compressor,
                                    const std::vector<unsigned char>& tile) {
  std::vector<unsigned char> out(libdeflate_zlib_compress_bound(compressor, tile.size()));
  // The bound always suffices: 0 would mean it did not.
  out.resize(
      libdeflate_zlib_compress(compressor, tile.data(), tile.size(), out.data(), out.size()));
  return out;
}

}  // namespace

std::vector<std::vector<unsigned char>> deflateTiles(
    const std::vector<std::vector<unsigned char>>& tiles, unsigned threads) {
  std::vector<std::vector<unsigned char>> out(tiles.size());
  std::atomic<std::size_t> next{0};
  std::atomic<bool> outOfMemory{false};
  const auto work = [&] {
    try {
      const Compressor compressor(libdeflate_alloc_compressor(kLevel));
      if (!compressor) throw std::bad_alloc();
      for (std::size_t i; !outOfMemory && (i = next++) < tiles.size();)
        out[i] = deflated(compressor.get(), tiles[i]);
    } catch (const std::bad_alloc&) {
      outOfMemory = true;
    }
  };
  std::vector<std::thread> helpers;
  const std::size_t wanted = std::min<std::size_t>(std::max(threads, 1U), tiles.size());
  for (std::size_t t = 1; t < wanted; ++t) helpers.emplace_back(work);
  work();
  for (auto& helper : helpers) helper.join();
  if (outOfMemory) throw std::bad_alloc();
  return out;
}

}  // namespace imgio::detail
