#include "Platform/Media/PixelConversion.h"

#include <cstddef>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define NORVESSAL_PIXEL_CONVERSION_AVX2 1
#endif

namespace platform {

namespace {

// BT.709 limited-range weights in 1/256ths. Luma: 219/255 of (0.2126 R +
// 0.7152 G + 0.0722 B); chroma: 224/255 of the scaled colour differences,
// each row summing to zero so that greys stay at 128. Every weight fits the
// byte operands of the vector multiply-add, and every partial sum stays
// inside 16 bits, so both paths compute exactly the same integers.
constexpr int kYB = 16, kYG = 157, kYR = 47;
constexpr int kUB = 112, kUG = -86, kUR = -26;
constexpr int kVB = -10, kVG = -102, kVR = 112;
constexpr int kRound = 128;
// Luma is weighed on samples moved to -128..127 (the vector multiply takes
// one signed operand); the weights sum to 220, so the move costs 110, which
// comes back with the 16 of limited range.
constexpr int kLumaBase = 16 + (kYB + kYG + kYR) * 128 / 256;
constexpr int kChromaBase = 128;
static_assert((kYB + kYG + kYR) * 128 % 256 == 0, "the luma offset must be a whole number");
static_assert(kUB + kUG + kUR == 0 && kVB + kVG + kVR == 0, "greys must have no colour");

// One pixel's weights as the bytes B, G, R, A of a 32-bit word.
constexpr int packedWeights(int b, int g, int r) {
    return static_cast<int>(static_cast<uint32_t>(static_cast<uint8_t>(b)) |
                            static_cast<uint32_t>(static_cast<uint8_t>(g)) << 8 |
                            static_cast<uint32_t>(static_cast<uint8_t>(r)) << 16);
}

inline uint8_t luma(const uint8_t* p) {
    const int sum = kYB * (p[0] - 128) + kYG * (p[1] - 128) + kYR * (p[2] - 128);
    return static_cast<uint8_t>(kLumaBase + ((sum + kRound) >> 8));
}

// Rounds half up, as the vector byte average does; the 2x2 mean is taken in
// the same two steps (the two rows, then the two columns) so that the paths
// agree to the bit.
inline int average(int a, int b) { return (a + b + 1) >> 1; }

// Converts pixels [from, width) of one pair of rows.
void convertRowPairPortable(const uint8_t* top, const uint8_t* bottom, int from, int width, uint8_t* yTop,
                            uint8_t* yBottom, uint8_t* u, uint8_t* v) {
    for (int x = from; x < width; x += 2) {
        const uint8_t* a = top + static_cast<size_t>(x) * 4;
        const uint8_t* b = bottom + static_cast<size_t>(x) * 4;
        yTop[x] = luma(a);
        yTop[x + 1] = luma(a + 4);
        yBottom[x] = luma(b);
        yBottom[x + 1] = luma(b + 4);
        int mean[3];
        for (int c = 0; c < 3; ++c) mean[c] = average(average(a[c], b[c]), average(a[4 + c], b[4 + c]));
        u[x / 2] = static_cast<uint8_t>(kChromaBase + ((kUB * mean[0] + kUG * mean[1] + kUR * mean[2] + kRound) >> 8));
        v[x / 2] = static_cast<uint8_t>(kChromaBase + ((kVB * mean[0] + kVG * mean[1] + kVR * mean[2] + kRound) >> 8));
    }
}

void convertPortable(const uint8_t* bgra, int bytesPerRow, int width, int rows, uint8_t* y, int yStride, uint8_t* u,
                     int uStride, uint8_t* v, int vStride) {
    for (int row = 0; row < rows; row += 2) {
        const uint8_t* top = bgra + static_cast<size_t>(row) * bytesPerRow;
        uint8_t* yTop = y + static_cast<size_t>(row) * yStride;
        convertRowPairPortable(top, top + bytesPerRow, 0, width, yTop, yTop + yStride,
                               u + static_cast<size_t>(row / 2) * uStride, v + static_cast<size_t>(row / 2) * vStride);
    }
}

#ifdef NORVESSAL_PIXEL_CONVERSION_AVX2

// Eight pixels: four from `low` in the low lane, four from `high` in the high.
__attribute__((target("avx2"))) inline __m256i loadLanes(const uint8_t* low, const uint8_t* high) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

// The pixels of a run of 32 are loaded as [0-3 | 8-11], [4-7 | 12-15],
// [16-19 | 24-27], [20-23 | 28-31]: the pairwise adds work within a lane, and
// this order leaves each lane's results in pixel order, so only a final
// shuffle of whole groups is needed.
struct Run {
    __m256i p[4];
};

__attribute__((target("avx2"))) inline Run loadRun(const uint8_t* pixels) {
    return {{loadLanes(pixels, pixels + 32), loadLanes(pixels + 16, pixels + 48), loadLanes(pixels + 64, pixels + 96),
             loadLanes(pixels + 80, pixels + 112)}};
}

// The 32 luma bytes of a run, in pixel order.
__attribute__((target("avx2"))) inline __m256i lumaOfRun(const Run& run) {
    const __m256i weights = _mm256_set1_epi32(packedWeights(kYB, kYG, kYR));
    const __m256i toSigned = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i round = _mm256_set1_epi16(kRound);
    const __m256i base = _mm256_set1_epi16(kLumaBase);
    __m256i sums[4];
    for (int i = 0; i < 4; ++i) sums[i] = _mm256_maddubs_epi16(weights, _mm256_xor_si256(run.p[i], toSigned));
    __m256i first = _mm256_hadd_epi16(sums[0], sums[1]);   // pixels [0-7 | 8-15]
    __m256i second = _mm256_hadd_epi16(sums[2], sums[3]);  // pixels [16-23 | 24-31]
    first = _mm256_add_epi16(_mm256_srai_epi16(_mm256_add_epi16(first, round), 8), base);
    second = _mm256_add_epi16(_mm256_srai_epi16(_mm256_add_epi16(second, round), 8), base);
    // [0-7, 16-23 | 8-15, 24-31] -> in order.
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(first, second), 0xD8);
}

__attribute__((target("avx2"))) inline __m256i chromaWords(__m256i first, __m256i second, __m256i weights) {
    const __m256i sums =
        _mm256_hadd_epi16(_mm256_maddubs_epi16(first, weights), _mm256_maddubs_epi16(second, weights));
    return _mm256_add_epi16(_mm256_srai_epi16(_mm256_add_epi16(sums, _mm256_set1_epi16(kRound)), 8),
                            _mm256_set1_epi16(kChromaBase));
}

__attribute__((target("avx2"))) void convertAVX2(const uint8_t* bgra, int bytesPerRow, int width, int rows,
                                                 uint8_t* y, int yStride, uint8_t* u, int uStride, uint8_t* v,
                                                 int vStride) {
    const __m256i uWeights = _mm256_set1_epi32(packedWeights(kUB, kUG, kUR));
    const __m256i vWeights = _mm256_set1_epi32(packedWeights(kVB, kVG, kVR));
    const __m256i chromaOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    for (int row = 0; row < rows; row += 2) {
        const uint8_t* top = bgra + static_cast<size_t>(row) * bytesPerRow;
        const uint8_t* bottom = top + bytesPerRow;
        uint8_t* yTop = y + static_cast<size_t>(row) * yStride;
        uint8_t* yBottom = yTop + yStride;
        uint8_t* uRow = u + static_cast<size_t>(row / 2) * uStride;
        uint8_t* vRow = v + static_cast<size_t>(row / 2) * vStride;
        int x = 0;
        for (; x + 32 <= width; x += 32) {
            const Run upper = loadRun(top + static_cast<size_t>(x) * 4);
            const Run lower = loadRun(bottom + static_cast<size_t>(x) * 4);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(yTop + x), lumaOfRun(upper));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(yBottom + x), lumaOfRun(lower));

            __m256i rowMean[4];
            for (int i = 0; i < 4; ++i) rowMean[i] = _mm256_avg_epu8(upper.p[i], lower.p[i]);
            // Even and odd pixels side by side, then their mean: chroma
            // samples [0-3 | 4-7] and [8-11 | 12-15] of the run.
            __m256i blocks[2];
            for (int i = 0; i < 2; ++i) {
                const __m256 a = _mm256_castsi256_ps(rowMean[2 * i]);
                const __m256 b = _mm256_castsi256_ps(rowMean[2 * i + 1]);
                blocks[i] = _mm256_avg_epu8(_mm256_castps_si256(_mm256_shuffle_ps(a, b, 0x88)),
                                            _mm256_castps_si256(_mm256_shuffle_ps(a, b, 0xDD)));
            }
            // [U0-3, U8-11, V0-3, V8-11 | U4-7, U12-15, V4-7, V12-15] -> U0-15, V0-15.
            const __m256i packed = _mm256_packus_epi16(chromaWords(blocks[0], blocks[1], uWeights),
                                                       chromaWords(blocks[0], blocks[1], vWeights));
            const __m256i ordered = _mm256_permutevar8x32_epi32(packed, chromaOrder);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(uRow + x / 2), _mm256_castsi256_si128(ordered));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(vRow + x / 2), _mm256_extracti128_si256(ordered, 1));
        }
        convertRowPairPortable(top, bottom, x, width, yTop, yBottom, uRow, vRow);
    }
}

#endif

using Converter = void (*)(const uint8_t*, int, int, int, uint8_t*, int, uint8_t*, int, uint8_t*, int);

Converter converterFor(PixelConversionPath path) {
#ifdef NORVESSAL_PIXEL_CONVERSION_AVX2
    if (path == PixelConversionPath::avx2) return convertAVX2;
#endif
    (void)path;
    return convertPortable;
}

}  // namespace

bool pixelConversionPathAvailable(PixelConversionPath path) {
    if (path == PixelConversionPath::portable) return true;
#ifdef NORVESSAL_PIXEL_CONVERSION_AVX2
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

void convertBGRAToI420(const uint8_t* bgra, int bytesPerRow, int width, int rows, uint8_t* y, int yStride,
                       uint8_t* u, int uStride, uint8_t* v, int vStride) {
    static const Converter chosen = converterFor(pixelConversionPathAvailable(PixelConversionPath::avx2)
                                                     ? PixelConversionPath::avx2
                                                     : PixelConversionPath::portable);
    chosen(bgra, bytesPerRow, width, rows, y, yStride, u, uStride, v, vStride);
}

void convertBGRAToI420ForTesting(PixelConversionPath path, const uint8_t* bgra, int bytesPerRow, int width, int rows,
                                 uint8_t* y, int yStride, uint8_t* u, int uStride, uint8_t* v, int vStride) {
    converterFor(path)(bgra, bytesPerRow, width, rows, y, yStride, u, uStride, v, vStride);
}

}  // namespace platform

// Batched with other files in a unity build, the switch stays with this one.
#undef NORVESSAL_PIXEL_CONVERSION_AVX2
