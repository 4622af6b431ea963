#pragma once

#include <cstddef>
#include <memory>

#include "host/export.h"
#include "host/geometry.h"
#include "host/xform.h"

class kcArchive;

// Tag for new storage whose pels the caller writes in full before reading.
struct kcForOverwrite {};

// Reference-counted pel storage: an aligned block of rows.
struct kc_PelRoot {
  unsigned char* data = nullptr;
  long width = 0;
  long height = 0;
  long rowUpdate = 0;  // pels from one row to the next
  int pelSize = 0;
  // Keeps the pels alive as long as a view refers to them: the block the
  // library allocated, or whatever the lender of borrowed storage gave (see
  // kcPelBuffer_const::wrap; may be null).
  std::shared_ptr<void> owner;
};

// A pel buffer is a view: a window in image coordinates onto shared storage.
// The storage's first pel has the image coordinates offset(); copies of a
// view share the storage. Each view carries a client-from-image transform
// (identity by default) as a shared, immutable handle.
//
// Allocation argument: storage is aligned to that many bytes and every row is
// padded to a multiple of it (the library always passes 32). New storage is
// zero-filled, except that storage made with kcForOverwrite zeroes only the
// row padding: for results whose every pel is written before it is read, it
// saves a pass over the whole block.
//
// Every window and storage keeps its right and bottom edges within a long:
// constructors, window() and offset() throw kcPel::BadWindow for a rectangle
// that would pass LONG_MAX, so coordinate sums never overflow.
class IMGNORM_API kc_PelBuffer {
 public:
  bool isBound() const { return root_ != nullptr; }
  void setUnbound();

  long width() const { return window_.width(); }
  long height() const { return window_.height(); }
  const kcPelRect& window() const { return window_; }
  // Narrows (or moves) the window inside the storage. Throws kcPel::BadWindow
  // when the rectangle leaves the storage, unless clip is true, which clips
  // it to the storage instead; kcPel::UnboundWindow when unbound.
  void window(const kcPelRect& r, bool clip);
  void window(const kcPair<long>& origin, const kcPair<long>& size, bool clip) {
    window(kcPelRect(origin, size), clip);
  }
  // Window over the whole storage.
  void setEntire();
  kcPelRect entire() const;

  // Image coordinates of the storage's first pel. Setting it relabels the
  // coordinates: the window keeps viewing the same pels (kcPel::BadWindow,
  // nothing changed, when the storage's edges would pass LONG_MAX).
  kcPair<long> offset() const { return offset_; }
  void offset(const kcPair<long>& o);
  void offset(long x, long y) { offset(kcPair<long>(x, y)); }

  long rowUpdate() const { return root_ ? root_->rowUpdate : 0; }
  int pelSize() const { return pelSize_; }
  // Identity of the storage; null when unbound.
  const void* root() const { return root_.get(); }

  const kc2XformHandle& clientFromImageXformBase() const { return clientFromImage_; }
  const kc2XformHandle& imageFromClientXformBase() const { return imageFromClient_; }
  void clientFromImageXformBase(const kc2XformHandle& x);
  void imageFromClientXformBase(const kc2XformHandle& x);
  kcXform<2> clientFromImageXform() const { return clientFromImage_->affine(); }
  kcXform<2> imageFromClientXform() const { return imageFromClient_->affine(); }
  void copyXforms(const kc_PelBuffer& src);

  // Throws kcPel::UnboundWindow when unbound; routines call it first.
  void requireBound() const;

  friend IMGNORM_API kcArchive& operator||(kcArchive& ar, kc_PelBuffer& v);

 protected:
  explicit kc_PelBuffer(int pelSize);
  kc_PelBuffer(int pelSize, const kcPelRect& r, long align, bool zeroed = true);
  // A view over borrowed storage, window (0, 0, width, height); see wrap().
  kc_PelBuffer(int pelSize, const void* data, long width, long height, long rowUpdate,
               std::shared_ptr<void> keepAlive);
  unsigned char* address(long x, long y) const;  // image coordinates
  unsigned char* firstPel() const { return address(window_.x(), window_.y()); }

 private:
  std::shared_ptr<kc_PelRoot> root_;
  kcPelRect window_;
  kcPair<long> offset_;
  int pelSize_;
  kc2XformHandle clientFromImage_;
  kc2XformHandle imageFromClient_;
};

template <class T>
class kcPelBuffer_const : public kc_PelBuffer {
 public:
  kcPelBuffer_const() : kc_PelBuffer(sizeof(T)) {}
  kcPelBuffer_const(long width, long height, long align = 32)
      : kc_PelBuffer(sizeof(T), kcPelRect(0, 0, width, height), align) {}
  kcPelBuffer_const(const kcPelRect& r, long align = 32) : kc_PelBuffer(sizeof(T), r, align) {}
  kcPelBuffer_const(const kcPelRect& r, long align, kcForOverwrite)
      : kc_PelBuffer(sizeof(T), r, align, false) {}

  // A view over pels stored elsewhere: width x height pels whose rows lie
  // rowUpdate pels apart, window (0, 0, width, height). Nothing is copied and
  // the pels are never freed by the buffer; keepAlive (may be null) is held
  // while any view shares the storage, so it can own the memory. Throws
  // kcPel::BadWindow for a negative size and kcPelFunc::BadParams for
  // rowUpdate < width or null data with pels.
  static kcPelBuffer_const wrap(const T* data, long width, long height, long rowUpdate,
                                std::shared_ptr<void> keepAlive) {
    return kcPelBuffer_const(data, width, height, rowUpdate, std::move(keepAlive));
  }

  const T* pointToOffset() const { return reinterpret_cast<const T*>(firstPel()); }
  const T* pointToPel(long x, long y) const { return reinterpret_cast<const T*>(address(x, y)); }
  const T* pointToPel(const kcPair<long>& p) const { return pointToPel(p.x(), p.y()); }
  T get(long x, long y) const { return *pointToPel(x, y); }
  T get(const kcPair<long>& p) const { return *pointToPel(p); }

 protected:
  kcPelBuffer_const(const T* data, long width, long height, long rowUpdate,
                    std::shared_ptr<void> keepAlive)
      : kc_PelBuffer(sizeof(T), data, width, height, rowUpdate, std::move(keepAlive)) {}
};

template <class T>
class kcPelBuffer : public kcPelBuffer_const<T> {
 public:
  using kcPelBuffer_const<T>::kcPelBuffer_const;
  kcPelBuffer() = default;

  // Writable view over pels stored elsewhere; as kcPelBuffer_const::wrap.
  static kcPelBuffer wrap(T* data, long width, long height, long rowUpdate,
                          std::shared_ptr<void> keepAlive) {
    return kcPelBuffer(data, width, height, rowUpdate, std::move(keepAlive));
  }

  // Pels of a writable view are writable through a const handle: constness
  // belongs to the handle, not to the pels.
  T* pointToOffset() const { return const_cast<T*>(kcPelBuffer_const<T>::pointToOffset()); }
  T* pointToPel(long x, long y) const {
    return const_cast<T*>(kcPelBuffer_const<T>::pointToPel(x, y));
  }
  T* pointToPel(const kcPair<long>& p) const { return pointToPel(p.x(), p.y()); }
  void set(long x, long y, T v) const { *pointToPel(x, y) = v; }
  void set(const kcPair<long>& p, T v) const { *pointToPel(p) = v; }
};
