#pragma once
// The conversion of captured BGRA pictures to the planar 4:2:0 layout the
// software encoders take (BT.709, limited range), for pictures that are not
// scaled on the way. It runs on a band of rows so that callers can split a
// picture over threads.

#include <cstdint>

namespace platform {

// Converts `rows` rows of `width` BGRA pixels (bytes B, G, R, A; alpha is
// ignored) starting at `bgra` into Y, U and V planes: Y in 16..235, U and V
// in 16..240 around 128, each chroma sample from the average of its 2x2
// block. Fixed-point throughout, so every machine gives the same bytes.
// Preconditions (callers guarantee them): `width` and `rows` are even and at
// least 2; `bytesPerRow` >= width * 4; each Y row holds `width` bytes and each
// U and V row width / 2; the band writes rows / 2 chroma rows. Nothing beyond
// those bytes is read or written.
void convertBGRAToI420(const uint8_t* bgra, int bytesPerRow, int width, int rows, uint8_t* y, int yStride,
                       uint8_t* u, int uStride, uint8_t* v, int vStride);

// The implementations the converter chooses between (once, by what the
// processor offers). They give identical bytes.
enum class PixelConversionPath { portable, avx2 };

bool pixelConversionPathAvailable(PixelConversionPath path);

// One named implementation, for tests and benchmarks that compare them. The
// path must be available.
void convertBGRAToI420ForTesting(PixelConversionPath path, const uint8_t* bgra, int bytesPerRow, int width, int rows,
                                 uint8_t* y, int yStride, uint8_t* u, int uStride, uint8_t* v, int vStride);

}  // namespace platform
