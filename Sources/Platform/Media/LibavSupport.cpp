#include "Platform/Media/LibavSupport.h"

#include <mutex>

#include "Platform/Media/PixelConversion.h"
#include "Platform/Media/VideoEncoder.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace platform {

std::string libavErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

void quietLibavLogging() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

bool fitsOwnConversion(const AVFrame& frame, int width, int height) {
    return frame.format == AV_PIX_FMT_YUV420P && width == frame.width && height == frame.height && width % 2 == 0 &&
           height % 2 == 0;
}

void convertBGRARowsIntoFrame(const BGRAImage& picture, int firstRow, int rows, const AVFrame& frame) {
    const auto luma = static_cast<size_t>(firstRow), chroma = static_cast<size_t>(firstRow / 2);
    convertBGRAToI420(picture.pixels + luma * static_cast<size_t>(picture.bytesPerRow), picture.bytesPerRow,
                      picture.width, rows, frame.data[0] + luma * frame.linesize[0], frame.linesize[0],
                      frame.data[1] + chroma * frame.linesize[1], frame.linesize[1],
                      frame.data[2] + chroma * frame.linesize[2], frame.linesize[2]);
}

}  // namespace platform
