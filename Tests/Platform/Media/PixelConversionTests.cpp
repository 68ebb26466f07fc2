#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "Platform/Media/PixelConversion.h"

extern "C" {
#include <libswscale/swscale.h>
}

using namespace platform;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kGuard = 0xA5;

// A BGRA picture whose rows are padded with bytes the conversion must ignore.
struct SourcePicture {
    int width, rows, bytesPerRow;
    Bytes pixels;

    SourcePicture(int w, int h, std::mt19937& random)
        : width(w), rows(h), bytesPerRow(w * 4 + 52), pixels(size_t(bytesPerRow) * h) {
        for (auto& byte : pixels) byte = uint8_t(random());  // padding included: garbage
    }
    uint8_t* at(int x, int y) { return &pixels[size_t(y) * bytesPerRow + size_t(x) * 4]; }
    void fill(uint8_t b, uint8_t g, uint8_t r) {
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < width; ++x) {
                uint8_t* p = at(x, y);
                p[0] = b, p[1] = g, p[2] = r, p[3] = uint8_t(x * 7 + y);  // alpha must not matter
            }
        }
    }
    // A gentle gradient in every channel, as on a desktop background.
    void gradient() {
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < width; ++x) {
                uint8_t* p = at(x, y);
                p[0] = uint8_t(x * 255 / std::max(1, width - 1));
                p[1] = uint8_t(y * 255 / std::max(1, rows - 1));
                p[2] = uint8_t(255 - (x + y) * 255 / std::max(1, width + rows - 2));
                p[3] = 255;
            }
        }
    }
};

// Y, U and V planes with padded rows and a guard row above and below each
// plane, all filled with a marker that only the converted samples may change.
struct Planes {
    int width, rows;
    int strides[3];
    Bytes bytes[3];

    Planes(int w, int h) : width(w), rows(h) {
        strides[0] = w + 24;
        strides[1] = strides[2] = w / 2 + 8;
        for (int p = 0; p < 3; ++p) bytes[p].assign(size_t(strides[p]) * size_t(planeRows(p) + 2), kGuard);
    }
    int planeRows(int plane) const { return plane == 0 ? rows : rows / 2; }
    int planeWidth(int plane) const { return plane == 0 ? width : width / 2; }
    uint8_t* row(int plane, int r) { return &bytes[plane][size_t(r + 1) * strides[plane]]; }
    uint8_t sample(int plane, int x, int r) { return row(plane, r)[x]; }

    void convert(SourcePicture& picture, PixelConversionPath path) {
        convertBGRAToI420ForTesting(path, picture.pixels.data(), picture.bytesPerRow, width, rows, row(0, 0),
                                    strides[0], row(1, 0), strides[1], row(2, 0), strides[2]);
    }
    // Every byte outside the converted samples still holds the marker.
    size_t bytesTouchedOutside() {
        size_t touched = 0;
        for (int p = 0; p < 3; ++p) {
            for (size_t i = 0; i < bytes[p].size(); ++i) {
                const long r = long(i / size_t(strides[p])) - 1;
                const long x = long(i % size_t(strides[p]));
                const bool inside = r >= 0 && r < planeRows(p) && x < planeWidth(p);
                if (!inside && bytes[p][i] != kGuard) ++touched;
            }
        }
        return touched;
    }
};

std::vector<PixelConversionPath> availablePaths() {
    std::vector<PixelConversionPath> paths{PixelConversionPath::portable};
    if (pixelConversionPathAvailable(PixelConversionPath::avx2)) paths.push_back(PixelConversionPath::avx2);
    return paths;
}

std::string pathName(PixelConversionPath path) { return path == PixelConversionPath::avx2 ? "avx2" : "portable"; }

// Widths around the vector path's 32-pixel runs, and the default Easy width.
const int kWidths[] = {2, 4, 30, 32, 34, 62, 64, 66, 3024};
const int kRows[] = {2, 4, 6, 18};

TEST(PixelConversion, VectorAndPortablePathsGiveIdenticalBytes) {
    if (!pixelConversionPathAvailable(PixelConversionPath::avx2)) GTEST_SKIP() << "no AVX2 on this processor";
    std::mt19937 random(37);
    for (int width : kWidths) {
        for (int rows : kRows) {
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(rows));
            SourcePicture picture(width, rows, random);
            Planes portable(width, rows), vector(width, rows);
            portable.convert(picture, PixelConversionPath::portable);
            vector.convert(picture, PixelConversionPath::avx2);
            for (int p = 0; p < 3; ++p) {
                for (int r = 0; r < portable.planeRows(p); ++r) {
                    for (int x = 0; x < portable.planeWidth(p); ++x) {
                        ASSERT_EQ(portable.sample(p, x, r), vector.sample(p, x, r))
                            << "plane " << p << " x " << x << " row " << r;
                    }
                }
            }
        }
    }
}

TEST(PixelConversion, WritesNothingOutsideItsPlanesRows) {
    std::mt19937 random(7);
    for (auto path : availablePaths()) {
        for (int width : kWidths) {
            SCOPED_TRACE(pathName(path) + " width " + std::to_string(width));
            SourcePicture picture(width, 6, random);
            Planes planes(width, 6);
            planes.convert(picture, path);
            EXPECT_EQ(planes.bytesTouchedOutside(), 0u);
            // And every sample inside was written (none is left at the marker
            // with a picture whose luma cannot reach it).
            picture.fill(0, 0, 0);
            planes.convert(picture, path);
            for (int x = 0; x < width; ++x) ASSERT_EQ(planes.sample(0, x, 5), 16) << "x " << x;
        }
    }
}

// BT.709 limited range from the defining formula, rounded.
struct Expected {
    int y, u, v;
};

Expected bt709(int b, int g, int r) {
    const double luma = (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255.0;
    const double cb = (b / 255.0 - luma) / 1.8556;
    const double cr = (r / 255.0 - luma) / 1.5748;
    return {int(std::lround(16 + 219 * luma)), int(std::lround(128 + 224 * cb)), int(std::lround(128 + 224 * cr))};
}

TEST(PixelConversion, SolidColoursGiveTheirBT709LimitedRangeValues) {
    struct Case {
        const char* name;
        uint8_t b, g, r;
        int tolerance;
    };
    const Case cases[] = {
        {"black", 0, 0, 0, 0},       {"white", 255, 255, 255, 0}, {"mid grey", 128, 128, 128, 0},
        {"red", 0, 0, 255, 1},       {"green", 0, 255, 0, 1},     {"blue", 255, 0, 0, 1},
        {"yellow", 0, 255, 255, 1},  {"cyan", 255, 255, 0, 1},    {"magenta", 255, 0, 255, 1},
        {"orange", 30, 140, 250, 1},
    };
    std::mt19937 random(3);
    for (auto path : availablePaths()) {
        for (const auto& c : cases) {
            SCOPED_TRACE(pathName(path) + " " + c.name);
            const Expected want = bt709(c.b, c.g, c.r);
            SourcePicture picture(66, 4, random);
            picture.fill(c.b, c.g, c.r);
            Planes planes(66, 4);
            planes.convert(picture, path);
            for (int p = 0; p < 3; ++p) {
                const int expected = p == 0 ? want.y : p == 1 ? want.u : want.v;
                for (int r = 0; r < planes.planeRows(p); ++r) {
                    for (int x = 0; x < planes.planeWidth(p); ++x) {
                        ASSERT_NEAR(planes.sample(p, x, r), expected, c.tolerance)
                            << "plane " << p << " x " << x << " row " << r;
                    }
                }
            }
        }
    }
    EXPECT_EQ(bt709(0, 0, 0).y, 16);
    EXPECT_EQ(bt709(255, 255, 255).y, 235);
}

// The library conversion this one stands in for, set up as the encoder sets
// it up for unscaled pictures.
Planes convertedByLibrary(SourcePicture& picture) {
    Planes planes(picture.width, picture.rows);
    SwsContext* scaler = sws_getContext(picture.width, picture.rows, AV_PIX_FMT_BGRA, picture.width, picture.rows,
                                        AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    EXPECT_NE(scaler, nullptr);
    if (!scaler) return planes;
    EXPECT_GE(sws_setColorspaceDetails(scaler, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                                       sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16),
              0);
    const uint8_t* source[4] = {picture.pixels.data(), nullptr, nullptr, nullptr};
    const int sourceStrides[4] = {picture.bytesPerRow, 0, 0, 0};
    uint8_t* planesOut[4] = {planes.row(0, 0), planes.row(1, 0), planes.row(2, 0), nullptr};
    const int strides[4] = {planes.strides[0], planes.strides[1], planes.strides[2], 0};
    EXPECT_EQ(sws_scale(scaler, source, sourceStrides, 0, picture.rows, planesOut, strides), picture.rows);
    sws_freeContext(scaler);
    return planes;
}

TEST(PixelConversion, SmoothPicturesMatchTheLibraryConversionWithinTwo) {
    const struct {
        int width, rows;
    } sizes[] = {{64, 32}, {320, 180}, {3024, 64}};
    std::mt19937 random(11);
    for (auto path : availablePaths()) {
        for (const auto& size : sizes) {
            SCOPED_TRACE(pathName(path) + " " + std::to_string(size.width) + "x" + std::to_string(size.rows));
            SourcePicture picture(size.width, size.rows, random);
            picture.gradient();
            Planes ours(size.width, size.rows);
            ours.convert(picture, path);
            Planes library = convertedByLibrary(picture);
            int worst = 0;
            for (int p = 0; p < 3; ++p) {
                for (int r = 0; r < ours.planeRows(p); ++r) {
                    for (int x = 0; x < ours.planeWidth(p); ++x) {
                        worst = std::max(worst, std::abs(ours.sample(p, x, r) - library.sample(p, x, r)));
                    }
                }
            }
            EXPECT_LE(worst, 2);
        }
    }
}

}  // namespace
