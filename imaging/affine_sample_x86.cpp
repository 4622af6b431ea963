// The x86-64 vector kernels of affine sampling, written with intrinsics:
// the compiler does not find them in the plain loops. Each gives the pels of
// the plain kernel (affine_sample.cpp) exactly.
#include "imaging/detail/affine_sample_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <cstring>

#include "host/detail/cpu_dispatch.h"

namespace affine_detail {

namespace {

// Four samples of sampleRowGeneral at a time: the same operations in the
// same order on lanes of doubles (no fused multiply-adds), so every pel is
// the scalar one. The pels are read one by one: a gather would read past
// the last pel of the storage.
template <int Taps>
struct Lanes4 {
  __m128i base;  // floor of the coordinate, as int32
  __m256d weight[Taps];
};

KC_TARGET_AVX2 inline __m256d mul(double a, __m256d b) {
  return _mm256_mul_pd(_mm256_set1_pd(a), b);
}

template <int Taps>
KC_TARGET_AVX2 Lanes4<Taps> locate4(__m256d c, double size) {
  c = _mm256_max_pd(c, _mm256_set1_pd(-2.0));  // c > lo ? c : lo, NaN to lo
  c = _mm256_min_pd(c, _mm256_set1_pd(size + 1.0));
  const __m256d f = _mm256_floor_pd(c);
  const __m256d t = _mm256_sub_pd(c, f);
  Lanes4<Taps> l;
  l.base = _mm256_cvttpd_epi32(f);
  if constexpr (Taps == 2) {
    l.weight[0] = _mm256_sub_pd(_mm256_set1_pd(1.0), t);
    l.weight[1] = t;
  } else {
    const __m256d t2 = _mm256_mul_pd(t, t), t3 = _mm256_mul_pd(t2, t);
    l.weight[0] = _mm256_sub_pd(_mm256_add_pd(mul(-0.5, t3), t2), mul(0.5, t));
    l.weight[1] = _mm256_add_pd(_mm256_sub_pd(mul(1.5, t3), mul(2.5, t2)), _mm256_set1_pd(1.0));
    l.weight[2] = _mm256_add_pd(_mm256_add_pd(mul(-1.5, t3), mul(2.0, t2)), mul(0.5, t));
    l.weight[3] = _mm256_sub_pd(mul(0.5, t3), mul(0.5, t2));
  }
  return l;
}

// Tap k's index of each lane, clamped into 0 .. size - 1.
template <int Taps>
KC_TARGET_AVX2 void tapIndices4(__m128i base, long size, __m128i* index) {
  const __m128i last = _mm_set1_epi32(static_cast<std::int32_t>(size - 1));
  for (int k = 0; k < Taps; ++k) {
    const __m128i i =
        _mm_add_epi32(base, _mm_set1_epi32(static_cast<std::int32_t>(kFirstTap<Taps> + k)));
    index[k] = _mm_min_epi32(_mm_max_epi32(i, _mm_setzero_si128()), last);
  }
}

template <class T, int Taps>
KC_TARGET_AVX2 void generalRowAvx2(const SourcePels<T>& src, const kcVector<2>& c,
                                   const kcVector<2>& step, long n, T* out) {
  // Lanes past the row's end read clamped pels like the others and are not
  // stored.
  for (long i = 0; i < n; i += 4) {
    const __m256d di =
        _mm256_add_pd(_mm256_set1_pd(static_cast<double>(i)), _mm256_set_pd(3.0, 2.0, 1.0, 0.0));
    const Lanes4<Taps> lx = locate4<Taps>(
        _mm256_add_pd(_mm256_set1_pd(c.x()), _mm256_mul_pd(_mm256_set1_pd(step.x()), di)),
        static_cast<double>(src.width));
    const Lanes4<Taps> ly = locate4<Taps>(
        _mm256_add_pd(_mm256_set1_pd(c.y()), _mm256_mul_pd(_mm256_set1_pd(step.y()), di)),
        static_cast<double>(src.height));
    __m128i xi[Taps], yi[Taps];
    tapIndices4<Taps>(lx.base, src.width, xi);
    tapIndices4<Taps>(ly.base, src.height, yi);
    // Offsets of every tap's pel from the window's first pel, lane by lane.
    std::int32_t offset[Taps][Taps][4];
    const __m128i stride = _mm_set1_epi32(static_cast<std::int32_t>(src.rowUpdate));
    for (int r = 0; r < Taps; ++r) {
      const __m128i row = _mm_mullo_epi32(yi[r], stride);
      for (int k = 0; k < Taps; ++k)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(offset[r][k]), _mm_add_epi32(row, xi[k]));
    }
    __m256d s = _mm256_setzero_pd();
    for (int r = 0; r < Taps; ++r) {
      __m256d h = _mm256_setzero_pd();
      for (int k = 0; k < Taps; ++k) {
        const std::int32_t* o = offset[r][k];
        const __m256d v = _mm256_cvtepi32_pd(
            _mm_set_epi32(src.first[o[3]], src.first[o[2]], src.first[o[1]], src.first[o[0]]));
        h = _mm256_add_pd(h, _mm256_mul_pd(lx.weight[k], v));
      }
      s = _mm256_add_pd(s, _mm256_mul_pd(ly.weight[r], h));
    }
    const __m128i rounded = _mm_cvttps_epi32(_mm_add_ps(_mm256_cvtpd_ps(s), _mm_set1_ps(0.5f)));
    const __m128i pels = _mm_min_epi32(_mm_max_epi32(rounded, _mm_setzero_si128()),
                                       _mm_set1_epi32(std::numeric_limits<T>::max()));
    if (sizeof(T) == 1 && i + 4 <= n) {
      const __m128i bytes = _mm_packus_epi16(_mm_packus_epi32(pels, pels), pels);
      const std::int32_t four = _mm_cvtsi128_si32(bytes);
      std::memcpy(out + i, &four, 4);
      continue;
    }
    std::int32_t lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), pels);
    for (long lane = 0; lane < std::min(4L, n - i); ++lane)
      out[i + lane] = static_cast<T>(lanes[lane]);
  }
}

// Every lane: the masked forms of the intrinsics, whose unmasked forms
// trip a false uninitialized-value warning in this compiler's headers.
constexpr __mmask8 kAll8 = 0xFF;

// Floor (as int32, offset by 2 so that it indexes the table) and the two
// weights of eight coordinates.
struct Lanes8 {
  __m256i entry;
  __m512d weight[2];
};

KC_TARGET_AVX512VBMI inline Lanes8 locate8(__m512d c, double size) {
  c = _mm512_maskz_max_pd(kAll8, c, _mm512_set1_pd(-2.0));  // c > lo ? c : lo, NaN to lo
  c = _mm512_maskz_min_pd(kAll8, c, _mm512_set1_pd(size + 1.0));
  const __m512d f = _mm512_floor_pd(c);
  const __m512d t = _mm512_sub_pd(c, f);
  return {_mm256_add_epi32(_mm512_maskz_cvttpd_epi32(kAll8, f), _mm256_set1_epi32(2)),
          {_mm512_sub_pd(_mm512_set1_pd(1.0), t), t}};
}

// Field k of every quad, as exact doubles (2^52 plus the field, less 2^52).
KC_TARGET_AVX512VBMI inline __m512d field(__m512i quads, unsigned k) {
  const __m512i bits =
      _mm512_and_si512(_mm512_maskz_srli_epi64(kAll8, quads, 16 * k), _mm512_set1_epi64(0xFFFF));
  const __m512i big = _mm512_set1_epi64(0x4330000000000000);  // 2^52
  return _mm512_sub_pd(_mm512_castsi512_pd(_mm512_or_si512(bits, big)), _mm512_castsi512_pd(big));
}

template <class T>
KC_TARGET_AVX512VBMI void bilinearRowAvx512(const QuadTable& table, long width, long height,
                                            const kcVector<2>& c, const kcVector<2>& step, long n,
                                            T* out) {
  const __m512d lane = _mm512_set_pd(7.0, 6.0, 5.0, 4.0, 3.0, 2.0, 1.0, 0.0);
  const __m256i stride = _mm256_set1_epi32(static_cast<std::int32_t>(table.stride()));
  for (long i = 0; i < n; i += 8) {
    const __m512d di = _mm512_add_pd(_mm512_set1_pd(static_cast<double>(i)), lane);
    const Lanes8 lx =
        locate8(_mm512_add_pd(_mm512_set1_pd(c.x()), _mm512_mul_pd(_mm512_set1_pd(step.x()), di)),
                static_cast<double>(width));
    const Lanes8 ly =
        locate8(_mm512_add_pd(_mm512_set1_pd(c.y()), _mm512_mul_pd(_mm512_set1_pd(step.y()), di)),
                static_cast<double>(height));
    const __m256i entry = _mm256_add_epi32(_mm256_mullo_epi32(ly.entry, stride), lx.entry);
    const __m512i quads =
        _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), kAll8, entry, table.quads(), 8);
    __m512d s = _mm512_setzero_pd();
    for (unsigned r = 0; r < 2; ++r) {
      __m512d h = _mm512_setzero_pd();
      for (unsigned k = 0; k < 2; ++k)
        h = _mm512_add_pd(h, _mm512_mul_pd(lx.weight[k], field(quads, 2 * r + k)));
      s = _mm512_add_pd(s, _mm512_mul_pd(ly.weight[r], h));
    }
    const __m256i rounded =
        _mm256_cvttps_epi32(_mm256_add_ps(_mm512_maskz_cvtpd_ps(kAll8, s), _mm256_set1_ps(0.5f)));
    const __m256i pels = _mm256_min_epi32(_mm256_max_epi32(rounded, _mm256_setzero_si256()),
                                          _mm256_set1_epi32(std::numeric_limits<T>::max()));
    if (sizeof(T) == 1 && i + 8 <= n) {
      const __m128i words =
          _mm_packus_epi32(_mm256_castsi256_si128(pels), _mm256_extracti128_si256(pels, 1));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(words, words));
      continue;
    }
    std::int32_t lanes[8];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), pels);
    for (long k = 0; k < std::min(8L, n - i); ++k) out[i + k] = static_cast<T>(lanes[k]);
  }
}

}  // namespace

template <class T, int Taps>
SampleRowFn<T, Taps> sampleRowGeneralAvx2() {
  return generalRowAvx2<T, Taps>;
}

template <class T>
TabledRowFn<T> sampleRowBilinearAvx512() {
  return bilinearRowAvx512<T>;
}

template SampleRowFn<unsigned char, 2> sampleRowGeneralAvx2<unsigned char, 2>();
template SampleRowFn<unsigned char, 4> sampleRowGeneralAvx2<unsigned char, 4>();
template TabledRowFn<unsigned char> sampleRowBilinearAvx512<unsigned char>();

}  // namespace affine_detail

#endif
