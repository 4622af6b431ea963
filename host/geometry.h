#pragma once

#include <cmath>
#include <numbers>

#include "host/export.h"

// Small value types of the host layer: pairs, vectors, rectangles and angles.

template <class T>
class kcPair {
 public:
  constexpr kcPair() = default;
  constexpr kcPair(T x, T y) : x_(x), y_(y) {}

  constexpr T x() const { return x_; }
  constexpr T y() const { return y_; }
  constexpr void x(T v) { x_ = v; }
  constexpr void y(T v) { y_ = v; }

  constexpr kcPair operator+(const kcPair& o) const { return {x_ + o.x_, y_ + o.y_}; }
  constexpr kcPair operator-(const kcPair& o) const { return {x_ - o.x_, y_ - o.y_}; }
  constexpr bool operator==(const kcPair& o) const { return x_ == o.x_ && y_ == o.y_; }

 private:
  T x_{};
  T y_{};
};

template <int N>
class kcVector;

template <>
class kcVector<2> {
 public:
  constexpr kcVector() = default;
  constexpr kcVector(double x, double y) : x_(x), y_(y) {}
  template <class T>
  constexpr explicit kcVector(const kcPair<T>& p)
      : x_(static_cast<double>(p.x())), y_(static_cast<double>(p.y())) {}

  constexpr double x() const { return x_; }
  constexpr double y() const { return y_; }

  constexpr kcVector operator+(const kcVector& o) const { return {x_ + o.x_, y_ + o.y_}; }
  constexpr kcVector operator-(const kcVector& o) const { return {x_ - o.x_, y_ - o.y_}; }
  constexpr kcVector operator*(double s) const { return {x_ * s, y_ * s}; }
  constexpr bool operator==(const kcVector& o) const { return x_ == o.x_ && y_ == o.y_; }

 private:
  double x_ = 0.0;
  double y_ = 0.0;
};

// Half-open rectangle: it covers x .. x + width - 1 and y .. y + height - 1.
// The corners ul, ur, ll and lr are pel edges: ur of a 10 pel wide rectangle
// at x = 0 lies at x = 10.
template <class T>
class kcRectangle {
 public:
  constexpr kcRectangle() = default;
  constexpr kcRectangle(T x, T y, T width, T height) : x_(x), y_(y), w_(width), h_(height) {}
  constexpr kcRectangle(const kcPair<T>& origin, const kcPair<T>& size)
      : x_(origin.x()), y_(origin.y()), w_(size.x()), h_(size.y()) {}

  constexpr T x() const { return x_; }
  constexpr T y() const { return y_; }
  constexpr T width() const { return w_; }
  constexpr T height() const { return h_; }
  constexpr T right() const { return x_ + w_; }
  constexpr T bottom() const { return y_ + h_; }
  constexpr kcPair<T> origin() const { return {x_, y_}; }
  constexpr kcPair<T> size() const { return {w_, h_}; }

  constexpr kcPair<T> ul() const { return {x_, y_}; }
  constexpr kcPair<T> ur() const { return {x_ + w_, y_}; }
  constexpr kcPair<T> ll() const { return {x_, y_ + h_}; }
  constexpr kcPair<T> lr() const { return {x_ + w_, y_ + h_}; }

  constexpr bool isNull() const { return w_ <= 0 || h_ <= 0; }

  constexpr bool contains(const kcPair<T>& p) const {
    return p.x() >= x_ && p.x() < x_ + w_ && p.y() >= y_ && p.y() < y_ + h_;
  }
  // True when r lies inside this rectangle (a null r at any place counts).
  constexpr bool contains(const kcRectangle& r) const {
    return r.x_ >= x_ && r.y_ >= y_ && r.right() <= right() && r.bottom() <= bottom();
  }

  // Intersection. A null result keeps the overlap's origin and a zero size.
  constexpr kcRectangle operator&(const kcRectangle& o) const {
    const T x0 = x_ > o.x_ ? x_ : o.x_;
    const T y0 = y_ > o.y_ ? y_ : o.y_;
    const T x1 = right() < o.right() ? right() : o.right();
    const T y1 = bottom() < o.bottom() ? bottom() : o.bottom();
    return {x0, y0, x1 > x0 ? x1 - x0 : 0, y1 > y0 ? y1 - y0 : 0};
  }
  constexpr kcRectangle& operator&=(const kcRectangle& o) { return *this = *this & o; }
  constexpr bool operator==(const kcRectangle& o) const {
    return x_ == o.x_ && y_ == o.y_ && w_ == o.w_ && h_ == o.h_;
  }
  constexpr bool operator!=(const kcRectangle& o) const { return !(*this == o); }

  // Moves each edge inwards by its amount; negative amounts grow the
  // rectangle. With clampToEmpty a rectangle trimmed past nothing becomes
  // empty instead of getting a negative size.
  constexpr kcRectangle trim(T left, T top, T rightAmount, T bottomAmount,
                             bool clampToEmpty) const {
    kcRectangle r{x_ + left, y_ + top, w_ - left - rightAmount, h_ - top - bottomAmount};
    if (clampToEmpty) {
      if (r.w_ < 0) r.w_ = 0;
      if (r.h_ < 0) r.h_ = 0;
    }
    return r;
  }

 private:
  T x_{};
  T y_{};
  T w_{};
  T h_{};
};

using kcPelRect = kcRectangle<long>;

class kcRadian;

class kcDegree {
 public:
  constexpr kcDegree() = default;
  constexpr explicit kcDegree(double v) : v_(v) {}
  inline kcDegree(const kcRadian& r);
  constexpr double toDouble() const { return v_; }
  constexpr kcDegree operator+(const kcDegree& o) const { return kcDegree(v_ + o.v_); }
  constexpr kcDegree operator-(const kcDegree& o) const { return kcDegree(v_ - o.v_); }
  constexpr bool operator==(const kcDegree& o) const { return v_ == o.v_; }
  constexpr bool operator<(const kcDegree& o) const { return v_ < o.v_; }

 private:
  double v_ = 0.0;
};

class kcRadian {
 public:
  constexpr kcRadian() = default;
  constexpr explicit kcRadian(double v) : v_(v) {}
  kcRadian(const kcDegree& d) : v_(d.toDouble() * (std::numbers::pi / 180.0)) {}
  constexpr double toDouble() const { return v_; }

 private:
  double v_ = 0.0;
};

inline kcDegree::kcDegree(const kcRadian& r) : v_(r.toDouble() * (180.0 / std::numbers::pi)) {}

inline double sin(const kcRadian& r) { return std::sin(r.toDouble()); }
inline double cos(const kcRadian& r) { return std::cos(r.toDouble()); }
inline double tan(const kcRadian& r) { return std::tan(r.toDouble()); }

// Real comparison within an absolute tolerance.
inline bool kfRealEq(double a, double b, double tolerance) { return std::fabs(a - b) <= tolerance; }
inline bool kfRealEq(const kcVector<2>& a, const kcVector<2>& b, double tolerance) {
  return kfRealEq(a.x(), b.x(), tolerance) && kfRealEq(a.y(), b.y(), tolerance);
}
