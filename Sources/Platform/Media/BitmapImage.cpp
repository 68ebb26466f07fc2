#include "Platform/Media/BitmapImage.h"

#include <png.h>
#include <tiffio.h>

#include <csetjmp>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <span>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace platform {

namespace {

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool startsWith(std::span<const uint8_t> bytes, std::span<const uint8_t> prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

bool isTiff(std::span<const uint8_t> b) {
    if (b.size() < 4) return false;
    return (b[0] == 'I' && b[1] == 'I' && (b[2] == 42 || b[2] == 43) && b[3] == 0) ||
           (b[0] == 'M' && b[1] == 'M' && b[2] == 0 && (b[3] == 42 || b[3] == 43));
}

// The one check every decoder makes before it touches pixel data.
Status checkDimensions(uint64_t width, uint64_t height) {
    if (width == 0 || height == 0) return Status::failure("image has no pixels");
    if (width > BitmapImage::maxSide || height > BitmapImage::maxSide || width * height > BitmapImage::maxPixels)
        return Status::failure("image too large (" + std::to_string(width) + "x" + std::to_string(height) + ")");
    return success();
}

// --- PNG (libpng's simplified interface keeps its longjmp to itself) ---------

Result<BitmapImage> decodePng(std::span<const uint8_t> bytes) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
        return Result<BitmapImage>::failure(std::string("bad PNG: ") + image.message);
    if (auto ok = checkDimensions(image.width, image.height); !ok) {
        png_image_free(&image);
        return Result<BitmapImage>::failure(ok.error());
    }
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr))
        return Result<BitmapImage>::failure(std::string("bad PNG: ") + image.message);
    return BitmapImage(image.width, image.height, std::move(rgba));
}

// --- TIFF through client procedures over memory --------------------------------

// A file being written grows in `bytes`; a file being read is the
// caller's input, viewed in place, so reading a large TIFF costs no copy.
struct MemoryFile {
    std::vector<uint8_t> bytes;
    std::span<const uint8_t> input;
    bool readOnly = false;
    size_t position = 0;
    std::string error;

    const uint8_t* data() const { return readOnly ? input.data() : bytes.data(); }
    size_t size() const { return readOnly ? input.size() : bytes.size(); }
};

tmsize_t memRead(thandle_t h, void* out, tmsize_t n) {
    auto* f = static_cast<MemoryFile*>(h);
    if (n <= 0 || f->position >= f->size()) return 0;
    size_t count = std::min(static_cast<size_t>(n), f->size() - f->position);
    std::memcpy(out, f->data() + f->position, count);
    f->position += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t memWrite(thandle_t h, void* in, tmsize_t n) {
    auto* f = static_cast<MemoryFile*>(h);
    if (n <= 0 || f->readOnly) return 0;
    const size_t count = static_cast<size_t>(n);
    if (f->bytes.size() < f->position + count) f->bytes.resize(f->position + count);
    std::memcpy(f->bytes.data() + f->position, in, count);
    f->position += count;
    return n;
}

toff_t memSeek(thandle_t h, toff_t offset, int whence) {
    auto* f = static_cast<MemoryFile*>(h);
    uint64_t base = whence == SEEK_CUR ? f->position : whence == SEEK_END ? f->size() : 0;
    uint64_t target = base + offset;  // libtiff passes negative offsets as their two's complement
    if (target > (uint64_t{1} << 40)) return static_cast<toff_t>(-1);
    f->position = static_cast<size_t>(target);
    return target;
}

int memClose(thandle_t) { return 0; }
toff_t memSize(thandle_t h) { return static_cast<MemoryFile*>(h)->size(); }
int memMap(thandle_t, void**, toff_t*) { return 0; }
void memUnmap(thandle_t, void*, toff_t) {}

int keepError(TIFF*, void* user, const char* module, const char* fmt, va_list args) {
    auto* f = static_cast<MemoryFile*>(user);
    if (f->error.empty()) {
        char text[512];
        std::vsnprintf(text, sizeof text, fmt, args);
        f->error = text;
    }
    return 1;  // handled: nothing reaches standard error
}

int ignoreWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// Opens a TIFF over the memory file, errors kept in it, warnings dropped.
TIFF* openTiff(MemoryFile& file, const char* mode) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, keepError, &file);
    TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreWarning, nullptr);
    // No single allocation inside libtiff above what a picture at the size
    // limit needs; a hostile strip size fails instead of exhausting memory.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, static_cast<tmsize_t>(BitmapImage::maxPixels * 4));
    TIFF* tif = TIFFClientOpenExt("memory", mode, &file, memRead, memWrite, memSeek, memClose, memSize, memMap,
                                  memUnmap, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

// The layout written by tiffRepresentation (and by most producers): 8-bit
// RGB or RGBA in strips, one plane. Read row by row, alpha kept straight.
bool isPlainRgb8(TIFF* tif, uint16_t& samples) {
    uint16_t bits = 0, photometric = 0, planar = PLANARCONFIG_CONTIG;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
    if (bits != 8 || photometric != PHOTOMETRIC_RGB || planar != PLANARCONFIG_CONTIG || TIFFIsTiled(tif)) return false;
    if (samples == 3) return true;
    if (samples != 4) return false;
    uint16_t extraCount = 0;
    uint16_t* extra = nullptr;
    return TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra) && extraCount == 1 &&
           extra[0] == EXTRASAMPLE_UNASSALPHA;
}

bool readPlainRgb8(TIFF* tif, uint32_t width, uint32_t height, uint16_t samples, std::vector<uint8_t>& rgba) {
    const tmsize_t lineSize = TIFFScanlineSize(tif);
    if (lineSize < static_cast<tmsize_t>(width) * samples) return false;
    std::vector<uint8_t> line(static_cast<size_t>(lineSize));
    for (uint32_t y = 0; y < height; ++y) {
        if (TIFFReadScanline(tif, line.data(), y, 0) < 0) return false;
        uint8_t* out = rgba.data() + static_cast<size_t>(y) * width * 4;
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t* in = line.data() + static_cast<size_t>(x) * samples;
            out[4 * x] = in[0];
            out[4 * x + 1] = in[1];
            out[4 * x + 2] = in[2];
            out[4 * x + 3] = samples == 4 ? in[3] : 255;
        }
    }
    return true;
}

// Every other layout goes through libtiff's RGBA reader, whose output is
// premultiplied; the colour is divided back out.
bool readAnyLayout(TIFF* tif, uint32_t width, uint32_t height, std::vector<uint8_t>& rgba) {
    std::vector<uint32_t> raster(static_cast<size_t>(width) * height);
    if (!TIFFReadRGBAImageOriented(tif, width, height, raster.data(), ORIENTATION_TOPLEFT, 0)) return false;
    for (size_t i = 0; i < raster.size(); ++i) {
        const uint32_t p = raster[i];
        const uint32_t a = TIFFGetA(p);
        uint32_t c[3] = {TIFFGetR(p), TIFFGetG(p), TIFFGetB(p)};
        for (int k = 0; k < 3; ++k) {
            if (a != 0 && a != 255) c[k] = std::min<uint32_t>(255, (c[k] * 255 + a / 2) / a);
            rgba[4 * i + k] = static_cast<uint8_t>(c[k]);
        }
        rgba[4 * i + 3] = static_cast<uint8_t>(a);
    }
    return true;
}

Result<BitmapImage> decodeTiff(std::span<const uint8_t> bytes) {
    MemoryFile file;
    file.input = bytes;
    file.readOnly = true;
    TIFF* tif = openTiff(file, "rm");
    if (!tif) return Result<BitmapImage>::failure("bad TIFF: " + file.error);
    uint32_t width = 0, height = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    if (auto ok = checkDimensions(width, height); !ok) {
        TIFFClose(tif);
        return Result<BitmapImage>::failure(ok.error());
    }
    std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
    uint16_t samples = 0;
    const bool read = isPlainRgb8(tif, samples) ? readPlainRgb8(tif, width, height, samples, rgba)
                                                : readAnyLayout(tif, width, height, rgba);
    TIFFClose(tif);
    if (!read) return Result<BitmapImage>::failure("bad TIFF: " + (file.error.empty() ? "unreadable" : file.error));
    return BitmapImage(width, height, std::move(rgba));
}

// A TIFF writer over `file` for straight 8-bit RGBA rows, top to bottom.
TIFF* openRgbaTiffWriter(MemoryFile& file, uint32_t width, uint32_t height) {
    TIFF* tif = openTiff(file, "w");
    if (!tif) return nullptr;
    const uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    // Deflate keeps a large flat picture small wherever the TIFF is kept
    // (a pasteboard holds it as long as the clipboard does).
    TIFFSetField(tif, TIFFTAG_COMPRESSION,
                 TIFFIsCODECConfigured(COMPRESSION_ADOBE_DEFLATE) ? COMPRESSION_ADOBE_DEFLATE : COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    return tif;
}

// --- PNG rows straight into the TIFF writer ----------------------------------

// Everything the row-by-row conversion owns lives here, outside the function
// that libpng may leave by longjmp, so a damaged file skips no destructor.
struct PngToTiff {
    std::span<const uint8_t> input;
    size_t position = 0;
    MemoryFile file;
    TIFF* tif = nullptr;
    std::vector<uint8_t> row;
    // The failure's whole text, when libpng or the size check failed.
    std::string error;
    // Adam7 rows only come whole with the whole picture: decoded instead.
    bool interlaced = false;

    ~PngToTiff() {
        if (tif) TIFFClose(tif);
    }
};

void readPngInput(png_structp png, png_bytep out, size_t count) {
    auto* state = static_cast<PngToTiff*>(png_get_io_ptr(png));
    if (count > state->input.size() - state->position) png_error(png, "truncated");
    std::memcpy(out, state->input.data() + state->position, count);
    state->position += count;
}

[[noreturn]] void keepPngError(png_structp png, png_const_charp message) {
    auto* state = static_cast<PngToTiff*>(png_get_error_ptr(png));
    if (state->error.empty()) state->error = std::string("bad PNG: ") + message;
    png_longjmp(png, 1);
}

void ignorePngWarning(png_structp, png_const_charp) {}

// True when the writer is ready for the first row. No object with a
// destructor is alive here while libpng runs: an error jumps straight back
// to setjmp.
bool startPngRows(png_structp png, png_infop info, PngToTiff& state, uint32_t& height) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_read_fn(png, &state, readPngInput);
    png_read_info(png, info);
    png_uint_32 width = 0;
    int bitDepth = 0, colorType = 0, interlace = 0;
    png_get_IHDR(png, info, &width, &height, &bitDepth, &colorType, &interlace, nullptr, nullptr);
    if (!checkDimensions(width, height).ok()) {
        state.error = "image too large (" + std::to_string(width) + "x" + std::to_string(height) + ")";
        return false;
    }
    if (interlace != PNG_INTERLACE_NONE) {
        state.interlaced = true;
        return false;
    }
    // The same straight 8-bit sRGB RGBA that the whole-picture decoder gives.
    png_set_alpha_mode(png, PNG_ALPHA_PNG, PNG_DEFAULT_sRGB);
    if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colorType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
    const bool transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    if (transparency) png_set_tRNS_to_alpha(png);
    if (bitDepth == 16) png_set_scale_16(png);
    if (!(colorType & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(png);
    if (!(colorType & PNG_COLOR_MASK_ALPHA) && !transparency) png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != static_cast<size_t>(width) * 4) {
        state.error = "bad PNG: unexpected row layout";
        return false;
    }
    state.tif = openRgbaTiffWriter(state.file, width, height);
    if (!state.tif) return false;
    state.row.resize(static_cast<size_t>(width) * 4);
    return true;
}

// Rows [from, to) into the writer, and the file's end after the last row;
// true when they all reached it. Its own setjmp: a slice's caller may have
// returned since the one before.
bool convertPngRows(png_structp png, PngToTiff& state, uint32_t from, uint32_t to, bool last) {
    if (setjmp(png_jmpbuf(png))) return false;
    for (uint32_t y = from; y < to; ++y) {
        png_read_row(png, state.row.data(), nullptr);
        if (TIFFWriteScanline(state.tif, state.row.data(), y, 0) < 0) return false;
    }
    if (last) png_read_end(png, nullptr);
    return true;
}

}  // namespace

struct BitmapImage::TiffConversion::State {
    std::span<const uint8_t> input;
    PngToTiff rows;
    png_structp reader = nullptr;
    png_infop info = nullptr;
    bool started = false;
    uint32_t height = 0;
    uint32_t next = 0;
    std::optional<Result<std::vector<uint8_t>>> outcome;

    ~State() { endReading(); }
    void endReading() {
        if (reader) png_destroy_read_struct(&reader, info ? &info : nullptr, nullptr);
        reader = nullptr, info = nullptr;
    }
    // Ends the conversion: the rows reached the writer or not.
    void finish(bool converted) {
        using R = Result<std::vector<uint8_t>>;
        endReading();
        if (rows.interlaced) {
            auto image = decodePng(input);
            outcome = image.ok() ? image->tiffRepresentation() : R::failure(image.error());
        } else if (!converted) {
            outcome = R::failure(!rows.error.empty() ? rows.error : "cannot write TIFF: " + rows.file.error);
        } else {
            // Closing writes the directory; its failure is the file's error.
            TIFFClose(std::exchange(rows.tif, nullptr));
            if (!rows.file.error.empty()) {
                outcome = R::failure("cannot write TIFF: " + rows.file.error);
            } else {
                rows.file.bytes.shrink_to_fit();
                outcome = std::move(rows.file.bytes);
            }
        }
    }
};

BitmapImage::TiffConversion::TiffConversion(std::span<const uint8_t> bytes) : state_(std::make_unique<State>()) {
    state_->input = bytes;
    state_->rows.input = bytes;
}

BitmapImage::TiffConversion::~TiffConversion() = default;

bool BitmapImage::TiffConversion::convertRows(uint32_t rows) {
    using R = Result<std::vector<uint8_t>>;
    State& s = *state_;
    if (s.outcome) return true;
    if (!s.started) {
        s.started = true;
        if (!startsWith(s.input, kPngSignature)) {
            auto image = fromData(s.input);
            s.outcome = image.ok() ? image->tiffRepresentation() : R::failure(image.error());
            return true;
        }
        s.reader = png_create_read_struct(PNG_LIBPNG_VER_STRING, &s.rows, keepPngError, ignorePngWarning);
        if (!s.reader) {
            s.outcome = R::failure("bad PNG: out of memory");
            return true;
        }
        s.info = png_create_info_struct(s.reader);
        if (!s.info || !startPngRows(s.reader, s.info, s.rows, s.height)) {
            s.finish(false);
            return true;
        }
    }
    const uint32_t until = s.next + std::min(std::max(rows, 1u), s.height - s.next);
    if (!convertPngRows(s.reader, s.rows, s.next, until, until == s.height)) {
        s.finish(false);
        return true;
    }
    s.next = until;
    if (s.next < s.height) return false;
    s.finish(true);
    return true;
}

size_t BitmapImage::TiffConversion::bytesWritten() const { return state_->rows.file.bytes.size(); }

Result<std::vector<uint8_t>> BitmapImage::TiffConversion::result() {
    if (!state_->outcome) return Result<std::vector<uint8_t>>::failure("conversion not ended");
    return std::move(*state_->outcome);
}

BitmapImage::BitmapImage(uint32_t width, uint32_t height, std::vector<uint8_t> rgba)
    : width_(width), height_(height), rgba_(std::move(rgba)) {
    rgba_.resize(static_cast<size_t>(width_) * height_ * 4);
}

Result<BitmapImage> BitmapImage::fromData(std::span<const uint8_t> bytes) {
    if (startsWith(bytes, kPngSignature)) return decodePng(bytes);
    if (isTiff(bytes)) return decodeTiff(bytes);
    return Result<BitmapImage>::failure("not an image");
}

Result<std::vector<uint8_t>> BitmapImage::tiffRepresentation() const {
    using R = Result<std::vector<uint8_t>>;
    if (auto ok = checkDimensions(width_, height_); !ok) return R::failure(ok.error());
    MemoryFile file;
    TIFF* tif = openRgbaTiffWriter(file, width_, height_);
    if (!tif) return R::failure("cannot write TIFF: " + file.error);
    std::vector<uint8_t> line(static_cast<size_t>(width_) * 4);
    bool written = true;
    for (uint32_t y = 0; y < height_ && written; ++y) {
        std::memcpy(line.data(), rgba_.data() + static_cast<size_t>(y) * line.size(), line.size());
        written = TIFFWriteScanline(tif, line.data(), y, 0) >= 0;
    }
    TIFFClose(tif);
    if (!written || !file.error.empty()) return R::failure("cannot write TIFF: " + file.error);
    // The growth reserve of the writer is not kept with the picture.
    file.bytes.shrink_to_fit();
    return std::move(file.bytes);
}

Result<std::vector<uint8_t>> BitmapImage::tiffRepresentationOfData(std::span<const uint8_t> bytes) {
    TiffConversion conversion(bytes);
    while (!conversion.convertRows(std::numeric_limits<uint32_t>::max())) {
    }
    return conversion.result();
}

Result<std::vector<uint8_t>> BitmapImage::pngRepresentation() const {
    using R = Result<std::vector<uint8_t>>;
    if (auto ok = checkDimensions(width_, height_); !ok) return R::failure(ok.error());
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width_;
    image.height = height_;
    image.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (!png_image_write_get_memory_size(image, size, 0, rgba_.data(), 0, nullptr))
        return R::failure(std::string("cannot write PNG: ") + image.message);
    std::vector<uint8_t> out(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, rgba_.data(), 0, nullptr))
        return R::failure(std::string("cannot write PNG: ") + image.message);
    out.resize(size);
    return out;
}

}  // namespace platform

