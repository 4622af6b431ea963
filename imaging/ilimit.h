#pragma once

// value clamped to low .. high (low when value is below it, high when above).
template <class T>
constexpr T kfILimit(T value, T low, T high) {
  return value < low ? low : (value > high ? high : value);
}
