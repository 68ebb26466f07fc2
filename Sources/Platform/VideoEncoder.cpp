#include "Platform/VideoEncoder.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/LibavSupport.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace platform {

namespace {

template <class T>
Result<T> avFailure(const std::string& what, int code) {
    return Result<T>::failure("video encoder: " + what + " failed: " + libavErrorText(code));
}

bool isHEVC(VideoCodec codec) { return codec == VideoCodec::hevc; }

// NAL unit type from the first header byte.
int nalType(VideoCodec codec, uint8_t header) {
    return isHEVC(codec) ? (header >> 1) & 0x3F : header & 0x1F;
}

enum class ParameterSet { none, vps, sps, pps };

ParameterSet parameterSetKind(VideoCodec codec, uint8_t header) {
    const int type = nalType(codec, header);
    if (isHEVC(codec)) {
        if (type == 32) return ParameterSet::vps;
        if (type == 33) return ParameterSet::sps;
        if (type == 34) return ParameterSet::pps;
    } else {
        if (type == 7) return ParameterSet::sps;
        if (type == 8) return ParameterSet::pps;
    }
    return ParameterSet::none;
}

// Calls `visit` with each NAL unit of an Annex-B byte stream, without its
// start code and without trailing zero bytes.
template <class Visit>
void forEachAnnexBNal(std::span<const uint8_t> stream, Visit visit) {
    const size_t n = stream.size();
    size_t i = 0;
    auto startCodeAt = [&](size_t at) {
        return at + 2 < n && stream[at] == 0 && stream[at + 1] == 0 && stream[at + 2] == 1;
    };
    while (i < n && !startCodeAt(i)) ++i;
    while (i < n) {
        const size_t begin = i + 3;
        size_t end = begin;
        while (end < n && !startCodeAt(end)) ++end;
        size_t last = end;
        while (last > begin && stream[last - 1] == 0) --last;
        if (last > begin) visit(stream.subspan(begin, last - begin));
        i = end;
    }
}

void appendLengthPrefixed(std::vector<uint8_t>& out, std::span<const uint8_t> nal) {
    const auto size = static_cast<uint32_t>(nal.size());
    out.push_back(static_cast<uint8_t>(size >> 24));
    out.push_back(static_cast<uint8_t>(size >> 16));
    out.push_back(static_cast<uint8_t>(size >> 8));
    out.push_back(static_cast<uint8_t>(size));
    out.insert(out.end(), nal.begin(), nal.end());
}

Status validate(const VideoEncoderSettings& s) {
    if (s.width < 2 || s.height < 2 || (s.width & 1) || (s.height & 1)) {
        return Status::failure("video encoder: encoded size " + std::to_string(s.width) + "x" +
                               std::to_string(s.height) + " is not even and at least 2x2");
    }
    if (s.fps < 1) return Status::failure("video encoder: frame rate must be at least 1");
    if (s.bitrate < 1) return Status::failure("video encoder: bit rate must be positive");
    if (s.keyframeIntervalSeconds < 1 || s.burstWindowSeconds < 1 || !(s.burstBitrateRatio >= 1.0)) {
        return Status::failure("video encoder: key-frame interval, burst window and burst ratio must be at least 1");
    }
    return success();
}

// The average rate and the burst ceiling over its window.
void applyRateFields(AVCodecContext* ctx, const VideoEncoderSettings& s) {
    ctx->bit_rate = s.bitrate;
    ctx->rc_max_rate = static_cast<int64_t>(std::llround(static_cast<double>(s.bitrate) * s.burstBitrateRatio));
    ctx->rc_buffer_size = static_cast<int>(std::min<int64_t>(ctx->rc_max_rate * s.burstWindowSeconds, INT32_MAX));
}

}  // namespace

std::vector<VideoEncoderLibraryOption> VideoEncoder::libraryOptions(const VideoEncoderSettings& settings) {
    const bool hevc = isHEVC(settings.codec);
    const bool chroma444 = settings.chroma == ChromaSubsampling::yuv444;
    return {
        // x265's fastest preset costs about what x264's "superfast" does.
        {"preset", hevc ? "ultrafast" : "superfast"},
        {"tune", "zerolatency"},
        {"profile", hevc ? (chroma444 ? "main444-8" : "main") : (chroma444 ? "high444" : "high")},
        {"forced-idr", "1"},
        // One frame in flight, so every picture's frame comes back from the
        // call that submitted it: no added latency, and the last picture of
        // a movement is never held back until the next one. x265 spreads
        // each picture over its thread pool by wavefront rows instead.
        {hevc ? "x265-params" : "x264-params",
         hevc ? "bframes=0:open-gop=0:frame-threads=1:wpp=1:log-level=error" : "bframes=0:open-gop=0"},
    };
}

int VideoEncoder::libraryThreadCount(const VideoEncoderSettings& settings) {
    // x264 under "zerolatency" threads by slices, which also returns each
    // frame from its own call; libx265 takes its frame threads from here.
    return isHEVC(settings.codec) ? 1 : 0;
}

int VideoEncoder::conversionBands(int sourceWidth, int sourceHeight, const VideoEncoderSettings& settings) {
    // Bands are converted side by side when no scaling mixes their rows;
    // each keeps at least 128 rows so that a band is worth a thread.
    if (sourceWidth != settings.width || sourceHeight != settings.height) return 1;
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    return std::clamp(sourceHeight / 128, 1, std::min(cores, 8));
}

// Runs the bands of one conversion on a few helper threads and the caller.
// Every run returns only when all its bands are done and every helper has
// left it, so nothing of one run reaches into the next.
class VideoEncoder::BandWorkers {
public:
    explicit BandWorkers(int helpers) {
        for (int i = 0; i < helpers; ++i) threads_.emplace_back([this] { loop(); });
    }
    ~BandWorkers() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_) t.join();
    }
    size_t helpers() const { return threads_.size(); }

    void run(int count, const std::function<void(int)>& work) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            work_ = &work;
            count_ = count;
            completed_ = 0;
            next_.store(0);
            ++generation_;
        }
        wake_.notify_all();
        take(work, count);
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&] { return completed_ == count_ && busy_ == 0; });
    }

private:
    void take(const std::function<void(int)>& work, int count) {
        for (int band; (band = next_.fetch_add(1)) < count;) {
            work(band);
            std::lock_guard<std::mutex> guard(mutex_);
            if (++completed_ == count_) done_.notify_all();
        }
    }
    void loop() {
        uint64_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            const auto* work = work_;
            const int count = count_;
            ++busy_;
            lock.unlock();
            take(*work, count);
            lock.lock();
            if (--busy_ == 0) done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::vector<std::thread> threads_;
    const std::function<void(int)>* work_ = nullptr;
    int count_ = 0, completed_ = 0, busy_ = 0;
    std::atomic<int> next_{0};
    uint64_t generation_ = 0;
    bool stopping_ = false;
};

namespace {
std::atomic<int> openLibraryEncoders{0};
}  // namespace

int VideoEncoder::openLibraryEncoderCountForTesting() { return openLibraryEncoders.load(); }

struct VideoEncoder::Codec {
    Codec() { openLibraryEncoders.fetch_add(1); }
    Codec(const Codec&) = delete;
    Codec& operator=(const Codec&) = delete;
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    // One converter per band of rows (one band when the picture is scaled).
    std::vector<SwsContext*> scalers;
    std::vector<int> bandRows;  // first row of each band, then the height
    int scalerWidth = 0, scalerHeight = 0;

    ~Codec() {
        for (auto* scaler : scalers) sws_freeContext(scaler);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
        openLibraryEncoders.fetch_sub(1);
    }
};

VideoEncoder::VideoEncoder(const VideoEncoderSettings& settings) : settings_(settings) {}

VideoEncoder::~VideoEncoder() = default;

Result<std::unique_ptr<VideoEncoder>> VideoEncoder::create(const VideoEncoderSettings& settings) {
    quietLibavLogging();
    std::unique_ptr<VideoEncoder> encoder(new VideoEncoder(settings));
    if (auto built = encoder->build(); !built) return Result<std::unique_ptr<VideoEncoder>>::failure(built.error());
    return encoder;
}

Status VideoEncoder::build() {
    codec_.reset();
    parameterSets_ = {};
    if (auto valid = validate(settings_); !valid) return valid;

    const bool hevc = isHEVC(settings_.codec);
    const bool chroma444 = settings_.chroma == ChromaSubsampling::yuv444;
    const char* encoderName = hevc ? "libx265" : "libx264";
    const AVCodec* codec = avcodec_find_encoder_by_name(encoderName);
    if (!codec) return Status::failure(std::string("video encoder: ") + encoderName + " is not available");

    auto state = std::make_unique<Codec>();
    AVCodecContext* ctx = state->context = avcodec_alloc_context3(codec);
    if (!ctx) return Status::failure("video encoder: out of memory for the codec context");
    ctx->width = settings_.width;
    ctx->height = settings_.height;
    ctx->pix_fmt = chroma444 ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P;
    // Presentation times are nanoseconds; the frame rate only paces rate
    // control and sets the key-frame interval.
    ctx->time_base = AVRational{1, 1'000'000'000};
    ctx->framerate = AVRational{settings_.fps, 1};
    ctx->gop_size = std::max(1, settings_.keyframeIntervalSeconds * settings_.fps);
    ctx->max_b_frames = 0;
    applyRateFields(ctx, settings_);
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER | AV_CODEC_FLAG_CLOSED_GOP;
    ctx->color_range = AVCOL_RANGE_MPEG;
    ctx->colorspace = AVCOL_SPC_BT709;
    ctx->color_primaries = AVCOL_PRI_BT709;
    ctx->color_trc = AVCOL_TRC_BT709;

    ctx->thread_count = libraryThreadCount(settings_);
    for (const auto& option : libraryOptions(settings_)) {
        if (int rc = av_opt_set(ctx->priv_data, option.name.c_str(), option.value.c_str(), 0); rc < 0) {
            return avFailure<Unit>("setting " + option.name + "=" + option.value, rc);
        }
    }
    if (int rc = avcodec_open2(ctx, codec, nullptr); rc < 0) return avFailure<Unit>(std::string("opening ") + encoderName, rc);

    // The global header carries the parameter sets as an Annex-B stream.
    forEachAnnexBNal({ctx->extradata, static_cast<size_t>(std::max(ctx->extradata_size, 0))},
                     [&](std::span<const uint8_t> nal) {
                         switch (parameterSetKind(settings_.codec, nal[0])) {
                             case ParameterSet::vps: parameterSets_.vps.assign(nal.begin(), nal.end()); break;
                             case ParameterSet::sps: parameterSets_.sps.assign(nal.begin(), nal.end()); break;
                             case ParameterSet::pps: parameterSets_.pps.assign(nal.begin(), nal.end()); break;
                             case ParameterSet::none: break;
                         }
                     });
    if (parameterSets_.sps.empty() || parameterSets_.pps.empty() || (hevc && parameterSets_.vps.empty())) {
        return Status::failure(std::string("video encoder: ") + encoderName + " gave no parameter sets");
    }

    state->frame = av_frame_alloc();
    state->packet = av_packet_alloc();
    if (!state->frame || !state->packet) return Status::failure("video encoder: out of memory for frame buffers");
    state->frame->format = ctx->pix_fmt;
    state->frame->width = ctx->width;
    state->frame->height = ctx->height;
    state->frame->color_range = ctx->color_range;
    state->frame->colorspace = ctx->colorspace;
    state->frame->color_primaries = ctx->color_primaries;
    state->frame->color_trc = ctx->color_trc;
    if (int rc = av_frame_get_buffer(state->frame, 0); rc < 0) return avFailure<Unit>("allocating the picture", rc);

    codec_ = std::move(state);
    keyFramePending_ = true;
    lastPts_ = -1;
    ++buildNumber_;
    return success();
}

Status VideoEncoder::prepareScaler(const BGRAImage& image) {
    Codec& c = *codec_;
    if (!c.scalers.empty() && c.scalerWidth == image.width && c.scalerHeight == image.height) return success();
    for (auto* scaler : c.scalers) sws_freeContext(scaler);
    c.scalers.clear();
    c.bandRows.clear();
    c.scalerWidth = image.width;
    c.scalerHeight = image.height;
    const int bands = conversionBands(image.width, image.height, settings_);
    // Even band heights keep every 4:2:0 chroma row inside one band.
    const int rowsPerBand = std::max(2, (image.height / bands) & ~1);
    for (int band = 0; band < bands; ++band) c.bandRows.push_back(band * rowsPerBand);
    c.bandRows.push_back(image.height);
    for (int band = 0; band < bands; ++band) {
        const int rows = c.bandRows[band + 1] - c.bandRows[band];
        const int outRows = bands == 1 ? settings_.height : rows;
        SwsContext* scaler = sws_getContext(image.width, rows, AV_PIX_FMT_BGRA, settings_.width, outRows,
                                            static_cast<AVPixelFormat>(c.frame->format), SWS_BILINEAR, nullptr,
                                            nullptr, nullptr);
        if (!scaler) return Status::failure("video encoder: no pixel conversion from BGRA at this size");
        c.scalers.push_back(scaler);
        // RGB in, BT.709 limited-range YUV out, as the stream is tagged.
        const int* rgbCoefficients = sws_getCoefficients(SWS_CS_DEFAULT);
        const int* yuvCoefficients = sws_getCoefficients(SWS_CS_ITU709);
        if (sws_setColorspaceDetails(scaler, rgbCoefficients, 1, yuvCoefficients, 0, 0, 1 << 16, 1 << 16) < 0) {
            return Status::failure("video encoder: the pixel conversion refused BT.709");
        }
    }
    if (bands > 1 && (!bandWorkers_ || static_cast<int>(bandWorkers_->helpers()) < bands - 1)) {
        bandWorkers_ = std::make_unique<BandWorkers>(bands - 1);
    }
    return success();
}

Status VideoEncoder::convert(const BGRAImage& image) {
    Codec& c = *codec_;
    const int bands = static_cast<int>(c.scalers.size());
    std::atomic<bool> failed{false};
    auto convertBand = [&](int band) {
        const int first = c.bandRows[band];
        const int rows = c.bandRows[band + 1] - first;
        const uint8_t* sourcePlanes[4] = {image.pixels + static_cast<size_t>(first) * image.bytesPerRow, nullptr,
                                          nullptr, nullptr};
        const int sourceStrides[4] = {image.bytesPerRow, 0, 0, 0};
        uint8_t* planes[4] = {c.frame->data[0], c.frame->data[1], c.frame->data[2], nullptr};
        if (bands > 1) {
            const int chromaFirst = c.frame->format == AV_PIX_FMT_YUV420P ? first / 2 : first;
            planes[0] += static_cast<size_t>(first) * c.frame->linesize[0];
            planes[1] += static_cast<size_t>(chromaFirst) * c.frame->linesize[1];
            planes[2] += static_cast<size_t>(chromaFirst) * c.frame->linesize[2];
        }
        if (sws_scale(c.scalers[band], sourcePlanes, sourceStrides, 0, rows, planes, c.frame->linesize) <= 0)
            failed = true;
    };
    if (bands == 1) {
        convertBand(0);
    } else {
        bandWorkers_->run(bands, convertBand);
    }
    if (failed) return Status::failure("video encoder: pixel conversion produced no rows");
    return success();
}

Result<std::optional<EncodedVideoFrame>> VideoEncoder::encode(const BGRAImage& image, uint64_t presentationTimeNs,
                                                              bool forceKeyFrame) {
    using R = Result<std::optional<EncodedVideoFrame>>;
    if (!codec_) return R::failure("video encoder: the encoder is not built");
    if (!image.pixels || image.width < 1 || image.height < 1 ||
        image.bytesPerRow < static_cast<int64_t>(image.width) * 4) {
        return R::failure("video encoder: the picture is empty or its rows are too short");
    }
    if (auto ready = prepareScaler(image); !ready) return R::failure(ready.error());

    Codec& c = *codec_;
    if (int rc = av_frame_make_writable(c.frame); rc < 0) return avFailure<std::optional<EncodedVideoFrame>>("reusing the picture", rc);
    if (auto converted = convert(image); !converted) return R::failure(converted.error());

    // Encoders need strictly rising times; a repeated or earlier capture time
    // is nudged forward by a nanosecond rather than refused.
    int64_t pts = static_cast<int64_t>(std::min<uint64_t>(presentationTimeNs, INT64_MAX));
    if (pts <= lastPts_) pts = lastPts_ + 1;
    lastPts_ = pts;
    c.frame->pts = pts;
    c.frame->pict_type = (forceKeyFrame || keyFramePending_) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;

    int rc = avcodec_send_frame(c.context, c.frame);
    if (rc < 0) return avFailure<std::optional<EncodedVideoFrame>>("submitting a picture", rc);
    keyFramePending_ = false;

    rc = avcodec_receive_packet(c.context, c.packet);
    if (rc == AVERROR(EAGAIN)) return std::optional<EncodedVideoFrame>{};
    if (rc < 0) return avFailure<std::optional<EncodedVideoFrame>>("receiving a frame", rc);

    output_.clear();
    forEachAnnexBNal({c.packet->data, static_cast<size_t>(c.packet->size)}, [&](std::span<const uint8_t> nal) {
        if (parameterSetKind(settings_.codec, nal[0]) == ParameterSet::none) appendLengthPrefixed(output_, nal);
    });
    EncodedVideoFrame frame;
    frame.data = output_;
    frame.isKeyFrame = (c.packet->flags & AV_PKT_FLAG_KEY) != 0;
    frame.presentationTimeNs = static_cast<uint64_t>(std::max<int64_t>(c.packet->pts, 0));
    av_packet_unref(c.packet);
    return std::optional<EncodedVideoFrame>(frame);
}

Result<RateControlChange> VideoEncoder::reconfigure(const VideoEncoderSettings& settings) {
    using R = Result<RateControlChange>;
    if (settings == settings_ && codec_) return RateControlChange::unchanged;
    if (auto valid = validate(settings); !valid) return R::failure(valid.error());
    VideoEncoderSettings rateOnly = settings_;
    rateOnly.bitrate = settings.bitrate;
    rateOnly.burstBitrateRatio = settings.burstBitrateRatio;
    rateOnly.burstWindowSeconds = settings.burstWindowSeconds;
    // libx264 re-reads the rate fields before each picture and reconfigures
    // itself; libx265 fixes them when it opens.
    if (codec_ && rateOnly == settings && settings.codec == VideoCodec::h264) {
        settings_ = settings;
        applyRateFields(codec_->context, settings_);
        return RateControlChange::inPlace;
    }
    settings_ = settings;
    if (auto built = build(); !built) return R::failure(built.error());
    return RateControlChange::rebuilt;
}

Result<RateControlChange> VideoEncoder::updateRateControl(int fps, int64_t bitrate) {
    VideoEncoderSettings next = settings_;
    next.fps = fps;
    next.bitrate = bitrate;
    return reconfigure(next);
}

Result<RateControlChange> VideoEncoder::setBurstBitrateRatio(double ratio) {
    VideoEncoderSettings next = settings_;
    next.burstBitrateRatio = ratio;
    return reconfigure(next);
}

}  // namespace platform
