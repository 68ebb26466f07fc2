#include "Support/VideoStreamDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace platform::testing {

namespace {

void appendAnnexB(std::vector<uint8_t>& out, std::span<const uint8_t> nal) {
    static const uint8_t startCode[] = {0, 0, 0, 1};
    out.insert(out.end(), std::begin(startCode), std::end(startCode));
    out.insert(out.end(), nal.begin(), nal.end());
}

}  // namespace

std::vector<std::vector<uint8_t>> nalUnits(std::span<const uint8_t> frame) {
    std::vector<std::vector<uint8_t>> units;
    size_t at = 0;
    while (at < frame.size()) {
        if (frame.size() - at < 4) {
            ADD_FAILURE() << "truncated length at " << at;
            return units;
        }
        const size_t length = (size_t(frame[at]) << 24) | (size_t(frame[at + 1]) << 16) |
                              (size_t(frame[at + 2]) << 8) | frame[at + 3];
        at += 4;
        if (length == 0 || length > frame.size() - at) {
            ADD_FAILURE() << "NAL length " << length << " runs past the frame";
            return units;
        }
        units.emplace_back(frame.begin() + long(at), frame.begin() + long(at + length));
        at += length;
    }
    return units;
}

VideoStreamDecoder::VideoStreamDecoder(bool hevc, std::span<const uint8_t> vps, std::span<const uint8_t> sps,
                                       std::span<const uint8_t> pps) {
    const AVCodec* decoder = avcodec_find_decoder(hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    context_ = avcodec_alloc_context3(decoder);
    EXPECT_EQ(avcodec_open2(context_, decoder, nullptr), 0);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!vps.empty()) appendAnnexB(pending_, vps);
    appendAnnexB(pending_, sps);
    appendAnnexB(pending_, pps);
}

VideoStreamDecoder::~VideoStreamDecoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

std::optional<DecodedPicture> VideoStreamDecoder::decode(std::span<const uint8_t> frame, double sampleX,
                                                         double sampleY) {
    std::vector<uint8_t> stream = std::move(pending_);
    pending_.clear();
    for (const auto& nal : nalUnits(frame)) appendAnnexB(stream, nal);
    packet_->data = stream.data();
    packet_->size = int(stream.size());
    if (avcodec_send_packet(context_, packet_) < 0) return std::nullopt;
    if (avcodec_receive_frame(context_, frame_) < 0) return std::nullopt;
    DecodedPicture p;
    p.width = frame_->width;
    p.height = frame_->height;
    p.format = AVPixelFormat(frame_->format);
    p.keyFrame = frame_->key_frame != 0;
    p.profile = context_->profile;
    const int x = std::min(frame_->width - 1, int(sampleX * frame_->width));
    const int y = std::min(frame_->height - 1, int(sampleY * frame_->height));
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(p.format);
    const int cx = x >> layout->log2_chroma_w, cy = y >> layout->log2_chroma_h;
    p.y = frame_->data[0][y * frame_->linesize[0] + x];
    p.cb = frame_->data[1][cy * frame_->linesize[1] + cx];
    p.cr = frame_->data[2][cy * frame_->linesize[2] + cx];
    av_frame_unref(frame_);
    return p;
}

}  // namespace platform::testing
