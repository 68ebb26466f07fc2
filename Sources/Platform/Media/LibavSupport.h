#pragma once
// What every user of FFmpeg's libraries in the platform layer shares: the
// text of an error code, and the libraries' log kept to errors.

#include <string>

struct AVFrame;

namespace platform {

struct BGRAImage;

// av_strerror's text for a negative libav return value.
std::string libavErrorText(int code);
// The encoders' informational chatter would otherwise fill the Host's log.
// Idempotent.
void quietLibavLogging();

// Whether our own 4:2:0 conversion can fill `frame` from a BGRA picture of
// this size: planar 4:2:0 of the same, even, size. Then no library scaler is
// needed, and ours costs a fraction of one.
bool fitsOwnConversion(const AVFrame& frame, int width, int height);
// Converts rows [firstRow, firstRow + rows) of the picture into the same
// rows of such a frame; firstRow and rows are even.
void convertBGRARowsIntoFrame(const BGRAImage& picture, int firstRow, int rows, const AVFrame& frame);

}  // namespace platform
