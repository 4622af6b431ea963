#include "host/pel_buffer.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "host/archive.h"
#include "host/assert.h"
#include "host/exceptions.h"

namespace {

// Largest storage accepted, a guard against sizes that overflow.
constexpr long kMaxStorageBytes = 1L << 40;

const kc2XformHandle& identityXform() {
  static const kc2XformHandle identity = std::make_shared<kc2XformLinear>();
  return identity;
}

// Whether a rectangle of size width x height at origin keeps its right and
// bottom edges within a long, so that every coordinate sum on it is defined.
bool placeable(const kcPair<long>& origin, long width, long height) {
  long edge = 0;
  return !__builtin_add_overflow(origin.x(), width, &edge) &&
         !__builtin_add_overflow(origin.y(), height, &edge);
}

const kcPelRect& placeableOrThrow(const kcPelRect& r) {
  if (!placeable(r.origin(), r.width(), r.height())) throw kcPel::BadWindow();
  return r;
}

// Blocks of 4 MiB and more often come fresh from the system (a thread's
// strips always do) and are written whole soon after. Asking for 2 MiB pages
// there turns thousands of page faults and TLB misses into a few; such
// blocks also start and end on 2 MiB boundaries, since a block from the
// system starts at a random 4 KiB page and its unaligned ends would still
// fault in hundreds of small pages. Training with a 4096 x 4096 mask: 58 ms
// without the hint, 42 with it, 37 aligned. The up to 4 MiB reserved beyond
// the pels are address space only while the block is fresh. A hint only:
// where it is not available or not granted, nothing changes.
constexpr std::size_t kHugePageBlockBytes = std::size_t{4} << 20;
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

std::uintptr_t roundUp(std::uintptr_t value, std::uintptr_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}

bool wantsHugePages([[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  return bytes >= kHugePageBlockBytes;
#else
  return false;
#endif
}

void adviseHugePages([[maybe_unused]] unsigned char* data, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  madvise(data, bytes, MADV_HUGEPAGE);
#endif
}

std::shared_ptr<kc_PelRoot> allocateRoot(long width, long height, int pelSize, long align,
                                         bool zeroed) {
  if (width < 0 || height < 0) throw kcPel::BadWindow();
  if (align < 1) align = 1;
  if (align > 4096 || (align & (align - 1)) != 0) throw kcPelFunc::BadParams();
  if (width > kMaxStorageBytes / pelSize) throw std::bad_alloc();
  const long rowBytes = (width * pelSize + align - 1) / align * align;
  if (height != 0 && rowBytes > kMaxStorageBytes / height) throw std::bad_alloc();
  // At least one aligned block, so that an empty buffer still has storage.
  const long total = rowBytes * height > 0 ? rowBytes * height : align;
  const bool huge = wantsHugePages(static_cast<std::size_t>(total));
  const auto blockAlign = static_cast<std::uintptr_t>(huge ? kHugePage : align);
  const std::size_t span =
      huge ? roundUp(static_cast<std::size_t>(total), kHugePage) : static_cast<std::size_t>(total);
  auto root = std::make_shared<kc_PelRoot>();
  // calloc hands out memory fresh from the system without a pass to zero
  // it, which saves a sweep over every large image; the block is aligned by
  // hand.
  const std::size_t bytes = span + blockAlign - 1;
  void* block = zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
  if (!block) throw std::bad_alloc();
  root->owner = std::shared_ptr<void>(block, std::free);
  const auto address = reinterpret_cast<std::uintptr_t>(block);
  root->data = reinterpret_cast<unsigned char*>(roundUp(address, blockAlign));
  if (huge) adviseHugePages(root->data, span);
  // Only rows with padding need the pass (a window without pels may still
  // declare 2^30 rows).
  if (!zeroed && rowBytes > width * pelSize)
    for (long y = 0; y < height; ++y)
      std::memset(root->data + y * rowBytes + width * pelSize, 0,
                  static_cast<std::size_t>(rowBytes - width * pelSize));
  root->width = width;
  root->height = height;
  root->rowUpdate = rowBytes / pelSize;
  root->pelSize = pelSize;
  return root;
}

std::shared_ptr<kc_PelRoot> borrowRoot(const void* data, long width, long height, long rowUpdate,
                                       int pelSize, std::shared_ptr<void> keepAlive) {
  if (width < 0 || height < 0) throw kcPel::BadWindow();
  if (rowUpdate < width || (data == nullptr && width > 0 && height > 0))
    throw kcPelFunc::BadParams();
  auto root = std::make_shared<kc_PelRoot>();
  root->data = static_cast<unsigned char*>(const_cast<void*>(data));
  root->width = width;
  root->height = height;
  root->rowUpdate = rowUpdate;
  root->pelSize = pelSize;
  root->owner = std::move(keepAlive);
  return root;
}

}  // namespace

kc_PelBuffer::kc_PelBuffer(int pelSize)
    : pelSize_(pelSize), clientFromImage_(identityXform()), imageFromClient_(identityXform()) {}

kc_PelBuffer::kc_PelBuffer(int pelSize, const kcPelRect& r, long align, bool zeroed)
    : root_(allocateRoot(placeableOrThrow(r).width(), r.height(), pelSize, align, zeroed)),
      window_(r),
      offset_(r.origin()),
      pelSize_(pelSize),
      clientFromImage_(identityXform()),
      imageFromClient_(identityXform()) {}

kc_PelBuffer::kc_PelBuffer(int pelSize, const void* data, long width, long height, long rowUpdate,
                           std::shared_ptr<void> keepAlive)
    : root_(borrowRoot(data, width, height, rowUpdate, pelSize, std::move(keepAlive))),
      window_(0, 0, width, height),
      pelSize_(pelSize),
      clientFromImage_(identityXform()),
      imageFromClient_(identityXform()) {}

void kc_PelBuffer::setUnbound() {
  root_.reset();
  window_ = kcPelRect();
  offset_ = kcPair<long>();
  clientFromImage_ = identityXform();
  imageFromClient_ = identityXform();
}

void kc_PelBuffer::requireBound() const {
  if (!root_) throw kcPel::UnboundWindow();
}

kcPelRect kc_PelBuffer::entire() const {
  requireBound();
  return {offset_.x(), offset_.y(), root_->width, root_->height};
}

void kc_PelBuffer::window(const kcPelRect& r, bool clip) {
  requireBound();
  placeableOrThrow(r);
  const kcPelRect all = entire();
  if (clip) {
    window_ = r & all;
    return;
  }
  if (r.width() < 0 || r.height() < 0 || !all.contains(r)) throw kcPel::BadWindow();
  window_ = r;
}

void kc_PelBuffer::setEntire() { window_ = entire(); }

void kc_PelBuffer::offset(const kcPair<long>& o) {
  requireBound();
  if (!placeable(o, root_->width, root_->height)) throw kcPel::BadWindow();
  window_ = kcPelRect(o + (window_.origin() - offset_), window_.size());
  offset_ = o;
}

unsigned char* kc_PelBuffer::address(long x, long y) const {
  requireBound();
  return root_->data + ((y - offset_.y()) * root_->rowUpdate + (x - offset_.x())) * pelSize_;
}

void kc_PelBuffer::clientFromImageXformBase(const kc2XformHandle& x) {
  KC_ASSERT(x != nullptr);
  imageFromClient_ = kc2XformLinear::handle(x->affine().inverse());
  clientFromImage_ = x;
}

void kc_PelBuffer::imageFromClientXformBase(const kc2XformHandle& x) {
  KC_ASSERT(x != nullptr);
  clientFromImage_ = kc2XformLinear::handle(x->affine().inverse());
  imageFromClient_ = x;
}

void kc_PelBuffer::copyXforms(const kc_PelBuffer& src) {
  clientFromImage_ = src.clientFromImage_;
  imageFromClient_ = src.imageFromClient_;
}

namespace {

constexpr long kMaxArchivedSide = 1L << 30;
static_assert(std::endian::native == std::endian::little, "pels are archived in memory order");

void walkXform(kcArchive& ar, kc_PelBuffer& v) {
  kcXform<2> x = v.clientFromImageXform();
  double m[6] = {x.a(), x.b(), x.c(), x.d(), x.translation().x(), x.translation().y()};
  for (double& e : m) ar || e;
  if (ar.isLoading()) {
    const double det = m[0] * m[3] - m[1] * m[2];
    if (!(det != 0.0) || !std::isfinite(det))
      throw kcArchive::Error(L"Corrupt archive: a pel buffer's transform is not invertible.");
    for (double e : m)
      if (!std::isfinite(e))
        throw kcArchive::Error(L"Corrupt archive: a pel buffer's transform is not finite.");
    v.clientFromImageXformBase(
        kc2XformLinear::handle(kcXform<2>::fromMatrix(m[0], m[1], m[2], m[3], m[4], m[5])));
  }
}

}  // namespace

kcArchive& operator||(kcArchive& ar, kc_PelBuffer& v) {
  unsigned char version = 0;
  ar || version;
  if (version != 0) throw kcArchive::UnknownVersion("kc_PelBuffer", 0);
  bool bound = v.isBound();
  ar || bound;
  if (!bound) {
    if (ar.isLoading()) v.setUnbound();
    return ar;
  }
  unsigned char pelSize = static_cast<unsigned char>(v.pelSize_);
  ar || pelSize;
  if (ar.isLoading() && pelSize != v.pelSize_)
    throw kcArchive::Error(L"Corrupt archive: a pel buffer of " + std::to_wstring(pelSize) +
                           L"-byte pels where " + std::to_wstring(v.pelSize_) +
                           L"-byte pels belong.");
  long r[4] = {v.window_.x(), v.window_.y(), v.window_.width(), v.window_.height()};
  for (long& e : r) ar || e;
  // A window without pels has no rows to walk, however tall it is: the
  // work of loading stays in proportion to the archive's bytes.
  const long rows = r[2] > 0 ? r[3] : 0;
  if (ar.isLoading()) {
    for (long e : r)
      if (e < -kMaxArchivedSide || e > kMaxArchivedSide)
        throw kcArchive::Error(L"Corrupt archive: a pel buffer's window is out of range.");
    if (r[2] < 0 || r[3] < 0)
      throw kcArchive::Error(L"Corrupt archive: a pel buffer's window has a negative size.");
    ar.checkAvailable(static_cast<unsigned long long>(r[2]) * static_cast<unsigned long long>(r[3]),
                      pelSize);
    kc_PelBuffer loaded(pelSize, kcPelRect(r[0], r[1], r[2], r[3]), 32);
    walkXform(ar, loaded);
    for (long y = 0; y < rows; ++y) {
      unsigned char* row = loaded.address(r[0], r[1] + y);
      ar.readBytes(row, static_cast<std::size_t>(r[2]) * pelSize);
    }
    v = loaded;
    return ar;
  }
  walkXform(ar, v);
  for (long y = 0; y < rows; ++y)
    ar.writeBytes(v.address(r[0], r[1] + y), static_cast<std::size_t>(r[2]) * pelSize);
  return ar;
}
