#include "Platform/Media/MovieWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/Media/LibavSupport.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace platform {

namespace {

std::mutex faultsLock;
MovieWriterFaults faults;

MovieWriterFaults currentFaults() {
    std::lock_guard<std::mutex> guard(faultsLock);
    return faults;
}

constexpr int64_t kNsPerSecond = 1'000'000'000;
// A block may start this much before the end of the audio already written
// (capture jitter) and still be taken.
constexpr int64_t kAudioOverlapSamples = MovieWriter::audioSampleRate / 1000;

// The high-quality conversion of a BGRA picture to BT.709 limited-range
// 4:2:0 at the track's size, in bands on a few threads of the library's own.
SwsContext* makeScaler(int sourceWidth, int sourceHeight, int width, int height) {
    SwsContext* scaler = sws_alloc_context();
    const int threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
    const bool configured =
        scaler && av_opt_set_int(scaler, "srcw", sourceWidth, 0) >= 0 &&
        av_opt_set_int(scaler, "srch", sourceHeight, 0) >= 0 && av_opt_set_int(scaler, "dstw", width, 0) >= 0 &&
        av_opt_set_int(scaler, "dsth", height, 0) >= 0 &&
        av_opt_set_int(scaler, "src_format", AV_PIX_FMT_BGRA, 0) >= 0 &&
        av_opt_set_int(scaler, "dst_format", AV_PIX_FMT_YUV420P, 0) >= 0 &&
        av_opt_set_int(scaler, "sws_flags", SWS_BICUBIC, 0) >= 0 &&
        av_opt_set_int(scaler, "threads", threads, 0) >= 0 &&
        sws_init_context(scaler, nullptr, nullptr) >= 0 &&
        sws_setColorspaceDetails(scaler, sws_getCoefficients(SWS_CS_DEFAULT), 1, sws_getCoefficients(SWS_CS_ITU709),
                                 0, 0, 1 << 16, 1 << 16) >= 0;
    if (configured) return scaler;
    sws_freeContext(scaler);
    return nullptr;
}

// The muxer's output: the movie's own descriptor, never a path. The MP4
// muxer seeks back to finish what it wrote, so seeking and the file's size
// are answered too.
constexpr int kOutputBufferSize = 1 << 16;

int writeToFile(void* opaque, uint8_t* bytes, int size) {
    const int fd = *static_cast<const int*>(opaque);
    for (int done = 0; done < size;) {
        const ssize_t n = ::write(fd, bytes + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return AVERROR(n < 0 ? errno : EIO);
        done += static_cast<int>(n);
    }
    return size;
}

int64_t seekInFile(void* opaque, int64_t offset, int whence) {
    const int fd = *static_cast<const int*>(opaque);
    if (whence == AVSEEK_SIZE) {
        struct stat info{};
        return ::fstat(fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : AVERROR(errno);
    }
    const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : static_cast<int64_t>(at);
}

}  // namespace

struct MovieWriter::Codecs {
    AVFormatContext* format = nullptr;
    AVPacket* packet = nullptr;

    AVCodecContext* video = nullptr;
    AVStream* videoStream = nullptr;
    AVFrame* videoFrame = nullptr;  // the one rendered picture, reused
    VideoCodec videoCodec = VideoCodec::hevc;
    SwsContext* scaler = nullptr;
    int scalerWidth = 0, scalerHeight = 0;
    AVFrame* sourceFrame = av_frame_alloc();  // wraps the caller's picture

    AVCodecContext* audio = nullptr;
    AVStream* audioStream = nullptr;
    AVFrame* audioFrame = nullptr;
    AVAudioFifo* fifo = nullptr;
    std::vector<float> planes[MovieWriter::audioChannels];  // one block, de-interleaved

    // The movie, and the muxer's output over it.
    FileHandle file;
    int fd = -1;  // what the output's callbacks read; file's descriptor
    AVIOContext* output = nullptr;

    // Flushes the muxer's output and lets it and the file go; false when
    // a write failed, now or before.
    bool closeOutput() {
        bool written = true;
        if (output) {
            avio_flush(output);
            written = output->error == 0;
            av_freep(&output->buffer);
            avio_context_free(&output);
            if (format) format->pb = nullptr;
        }
        file.close();
        return written;
    }

    ~Codecs() {
        closeOutput();
        sws_freeContext(scaler);
        av_audio_fifo_free(fifo);
        av_frame_free(&videoFrame);
        av_frame_free(&sourceFrame);
        av_frame_free(&audioFrame);
        av_packet_free(&packet);
        avcodec_free_context(&video);
        avcodec_free_context(&audio);
        if (format) avformat_free_context(format);
    }
};

MovieWriter::MovieWriter(std::filesystem::path file, std::function<void()> discard)
    : file_(std::move(file)), discard_(std::move(discard)), codecs_(std::make_unique<Codecs>()) {}

MovieWriter::~MovieWriter() {
    const bool empty = !headerWritten_;
    codecs_.reset();
    // The encoders' threads freed their buffers into their own heaps, which
    // keep them resident until trimmed: a recording stopped left tens of MiB.
    VideoEncoder::libraryEncoderClosed();
    // The placeholder of a writer that never wrote is nobody's movie.
    if (empty) discardOnce();
}

void MovieWriter::discardOnce() {
    if (auto discard = std::exchange(discard_, nullptr)) discard();
}

void MovieWriter::setFaultsForTesting(MovieWriterFaults f) {
    std::lock_guard<std::mutex> guard(faultsLock);
    faults = f;
}

Result<std::shared_ptr<MovieWriter>> MovieWriter::create(const std::filesystem::path& file) {
    using R = Result<std::shared_ptr<MovieWriter>>;
    // Exclusive: a movie already there (or one still being finished) is
    // never overwritten.
    FileHandle made(::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!made.isOpen()) return R::failure("movie writer: cannot create " + file.string() + ": " + std::strerror(errno));
    return create(MovieOutput{std::move(made), file, [file] {
                                  std::error_code ignored;
                                  std::filesystem::remove(file, ignored);
                              }});
}

Result<std::shared_ptr<MovieWriter>> MovieWriter::create(MovieOutput output) {
    using R = Result<std::shared_ptr<MovieWriter>>;
    quietLibavLogging();
    VideoEncoder::libraryEncoderOpening();

    std::shared_ptr<MovieWriter> writer(new MovieWriter(output.path, std::move(output.discard)));
    Codecs& c = *writer->codecs_;
    c.file = std::move(output.file);
    c.fd = c.file.fd();
    if (!c.file.isOpen()) return R::failure("movie writer: no file for " + output.path.string());
    int rc = avformat_alloc_output_context2(&c.format, nullptr, "mp4", nullptr);
    if (rc < 0 || !c.format) return R::failure("movie writer: no MPEG-4 muxer: " + libavErrorText(rc));
    auto* buffer = static_cast<unsigned char*>(av_malloc(kOutputBufferSize));
    if (buffer) c.output = avio_alloc_context(buffer, kOutputBufferSize, 1, &c.fd, nullptr, writeToFile, seekInFile);
    if (!c.output) {
        av_free(buffer);
        return R::failure("movie writer: out of memory");
    }
    c.output->seekable = AVIO_SEEKABLE_NORMAL;
    c.format->pb = c.output;
    c.format->flags |= AVFMT_FLAG_CUSTOM_IO;
    c.packet = av_packet_alloc();
    if (!c.packet) return R::failure("movie writer: out of memory");
    return writer;
}

bool MovieWriter::addVideoInput(const MovieVideoSettings& s) {
    std::lock_guard<std::mutex> guard(lock_);
    Codecs& c = *codecs_;
    if (status_ != WriterStatus::unknown || c.video) return false;
    if (s.width < 2 || s.height < 2 || (s.width | s.height) & 1 || s.averageBitRate < 1) return false;
    const bool hevc = s.codec == VideoCodec::hevc;
    if (hevc && currentFaults().refuseHEVC) return false;
    const AVCodec* codec = avcodec_find_encoder_by_name(hevc ? "libx265" : "libx264");
    if (!codec) return false;

    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx) return false;
    ctx->width = s.width;
    ctx->height = s.height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, videoTimeScale};
    ctx->framerate = AVRational{nominalFrameRate, 1};
    ctx->gop_size = std::max(1, s.maxKeyFrameInterval);
    ctx->max_b_frames = 0;
    ctx->bit_rate = s.averageBitRate;
    ctx->color_range = AVCOL_RANGE_MPEG;
    ctx->colorspace = AVCOL_SPC_BT709;
    ctx->color_primaries = AVCOL_PRI_BT709;
    ctx->color_trc = AVCOL_TRC_BT709;
    if (c.format->oformat->flags & AVFMT_GLOBALHEADER) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const bool configured =
        av_opt_set(ctx->priv_data, "preset", hevc ? "ultrafast" : "veryfast", 0) >= 0 &&
        (hevc ? av_opt_set(ctx->priv_data, "x265-params", "bframes=0:log-level=error", 0) >= 0
              : av_opt_set(ctx->priv_data, "profile", "high", 0) >= 0);
    if (!configured || avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return false;
    }

    AVStream* stream = avformat_new_stream(c.format, nullptr);
    AVFrame* frame = av_frame_alloc();
    if (!stream || !frame || avcodec_parameters_from_context(stream->codecpar, ctx) < 0) {
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        return false;
    }
    stream->time_base = ctx->time_base;
    if (hevc) stream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
    frame->format = ctx->pix_fmt;
    frame->width = ctx->width;
    frame->height = ctx->height;
    frame->color_range = ctx->color_range;
    frame->colorspace = ctx->colorspace;
    frame->color_primaries = ctx->color_primaries;
    frame->color_trc = ctx->color_trc;
    if (av_frame_get_buffer(frame, 0) < 0) {
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        return false;
    }
    c.video = ctx;
    c.videoStream = stream;
    c.videoFrame = frame;
    c.videoCodec = s.codec;
    return true;
}

bool MovieWriter::addAudioInput() {
    std::lock_guard<std::mutex> guard(lock_);
    Codecs& c = *codecs_;
    if (status_ != WriterStatus::unknown || c.audio || currentFaults().refuseAudioInput) return false;
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) return false;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx) return false;
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx->sample_rate = audioSampleRate;
    av_channel_layout_default(&ctx->ch_layout, audioChannels);
    ctx->bit_rate = audioBitRate;
    ctx->time_base = AVRational{1, audioSampleRate};
    if (c.format->oformat->flags & AVFMT_GLOBALHEADER) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVStream* stream = nullptr;
    AVFrame* frame = nullptr;
    AVAudioFifo* fifo = nullptr;
    const bool ok = avcodec_open2(ctx, codec, nullptr) >= 0 && ctx->frame_size == aacFrameSamples &&
                    (stream = avformat_new_stream(c.format, nullptr)) &&
                    avcodec_parameters_from_context(stream->codecpar, ctx) >= 0 && (frame = av_frame_alloc()) &&
                    (fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, audioChannels, 4 * aacFrameSamples));
    if (ok) {
        frame->format = ctx->sample_fmt;
        frame->sample_rate = ctx->sample_rate;
        frame->nb_samples = aacFrameSamples;
        av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
    }
    if (!ok || av_frame_get_buffer(frame, 0) < 0) {
        // Past the stream's creation only an allocation fails; the stream
        // then has no parameters and the header refuses the file.
        av_audio_fifo_free(fifo);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        return false;
    }
    stream->time_base = ctx->time_base;
    c.audio = ctx;
    c.audioStream = stream;
    c.audioFrame = frame;
    c.fifo = fifo;
    return true;
}

std::optional<VideoCodec> MovieWriter::videoCodec() const {
    std::lock_guard<std::mutex> guard(lock_);
    if (!codecs_->video) return std::nullopt;
    return codecs_->videoCodec;
}

bool MovieWriter::hasAudioInput() const {
    std::lock_guard<std::mutex> guard(lock_);
    return codecs_->audio != nullptr;
}

bool MovieWriter::fail(std::optional<std::string> description) {
    status_ = WriterStatus::failed;
    if (description) error_ = std::move(description);
    return false;
}

bool MovieWriter::startWriting() {
    std::lock_guard<std::mutex> guard(lock_);
    if (finishing_) return false;
    if (status_ == WriterStatus::writing) return true;
    if (status_ != WriterStatus::unknown) return false;
    if (currentFaults().failStartWriting) return fail(std::nullopt);
    if (!codecs_->video) return fail("movie writer: no video track");
    if (int rc = avformat_write_header(codecs_->format, nullptr); rc < 0) {
        return fail("movie writer: writing the header failed: " + libavErrorText(rc));
    }
    headerWritten_ = true;
    status_ = WriterStatus::writing;
    return true;
}

void MovieWriter::startSession(uint64_t sourceTimeNs) {
    std::lock_guard<std::mutex> guard(lock_);
    sessionStartNs_ = sourceTimeNs;
}

bool MovieWriter::renderVideoFrame(const BGRAImage& picture) {
    std::lock_guard<std::mutex> guard(lock_);
    Codecs& c = *codecs_;
    if (!c.video || status_ != WriterStatus::writing || !picture.pixels || picture.width < 1 ||
        picture.height < 1 || picture.bytesPerRow < static_cast<int64_t>(picture.width) * 4) {
        return false;
    }
    // A picture already at the track's size needs no filter: our own
    // conversion, on this thread, costs a fraction of the library's scaler.
    if (fitsOwnConversion(*c.videoFrame, picture.width, picture.height)) {
        if (av_frame_make_writable(c.videoFrame) < 0) return false;
        convertBGRARowsIntoFrame(picture, 0, picture.height, *c.videoFrame);
        return true;
    }
    if (!c.scaler || c.scalerWidth != picture.width || c.scalerHeight != picture.height) {
        sws_freeContext(c.scaler);
        c.scalerWidth = picture.width;
        c.scalerHeight = picture.height;
        if (!(c.scaler = makeScaler(picture.width, picture.height, c.video->width, c.video->height))) return false;
    }
    // The picture is wrapped, not copied: the scaler reads it where it lies.
    AVFrame* source = c.sourceFrame;
    if (!source) return false;
    av_frame_unref(source);
    source->format = AV_PIX_FMT_BGRA;
    source->width = picture.width;
    source->height = picture.height;
    source->data[0] = const_cast<uint8_t*>(picture.pixels);
    source->linesize[0] = picture.bytesPerRow;
    const size_t bytes = static_cast<size_t>(picture.height - 1) * static_cast<size_t>(picture.bytesPerRow) +
                         static_cast<size_t>(picture.width) * 4;
    source->buf[0] = av_buffer_create(source->data[0], bytes, [](void*, uint8_t*) {}, nullptr, AV_BUFFER_FLAG_READONLY);
    if (!source->buf[0] || av_frame_make_writable(c.videoFrame) < 0) return false;
    const bool rendered = sws_scale_frame(c.scaler, c.videoFrame, source) >= 0;
    av_frame_unref(source);
    return rendered;
}

bool MovieWriter::encodeAndWrite(bool video, bool flush) {
    Codecs& c = *codecs_;
    AVCodecContext* ctx = video ? c.video : c.audio;
    AVStream* stream = video ? c.videoStream : c.audioStream;
    if (flush) {
        if (int rc = avcodec_send_frame(ctx, nullptr); rc < 0 && rc != AVERROR_EOF) {
            return fail("movie writer: flushing the encoder failed: " + libavErrorText(rc));
        }
    }
    for (;;) {
        int rc = avcodec_receive_packet(ctx, c.packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) return fail("movie writer: encoding failed: " + libavErrorText(rc));
        // The encoders leave a picture's duration open; without one the
        // last picture falls outside the track's edit and is never shown.
        if (video && c.packet->duration <= 0) c.packet->duration = videoTimeScale / nominalFrameRate;
        av_packet_rescale_ts(c.packet, ctx->time_base, stream->time_base);
        c.packet->stream_index = stream->index;
        // Takes the packet's reference whatever it returns.
        if ((rc = av_interleaved_write_frame(c.format, c.packet)) < 0) {
            return fail("movie writer: writing a sample failed: " + libavErrorText(rc));
        }
    }
}

bool MovieWriter::appendRenderedVideoFrame(uint64_t timeNs) {
    std::lock_guard<std::mutex> guard(lock_);
    Codecs& c = *codecs_;
    if (!c.video || status_ != WriterStatus::writing || videoFinished_) return false;
    if (currentFaults().failAppend) return fail(std::nullopt);
    if (timeNs < sessionStartNs_) return true;
    const int64_t pts = av_rescale(static_cast<int64_t>(timeNs - sessionStartNs_), videoTimeScale, kNsPerSecond);
    if (pts <= lastVideoPts_) return true;
    lastVideoPts_ = pts;
    c.videoFrame->pts = pts;
    c.videoFrame->pict_type = AV_PICTURE_TYPE_NONE;
    if (int rc = avcodec_send_frame(c.video, c.videoFrame); rc < 0) {
        return fail("movie writer: submitting a picture failed: " + libavErrorText(rc));
    }
    return encodeAndWrite(true, false);
}

bool MovieWriter::encodeAudioFrames(bool drain) {
    Codecs& c = *codecs_;
    const bool shortLastFrame = c.audio->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
    for (;;) {
        const int queued = av_audio_fifo_size(c.fifo);
        if (queued < aacFrameSamples && !(drain && queued > 0)) return true;
        const int n = std::min(queued, aacFrameSamples);
        if (av_frame_make_writable(c.audioFrame) < 0) return fail("movie writer: out of memory");
        c.audioFrame->nb_samples = aacFrameSamples;
        if (n < aacFrameSamples) {
            av_samples_set_silence(c.audioFrame->data, 0, aacFrameSamples, audioChannels, AV_SAMPLE_FMT_FLTP);
            if (shortLastFrame) c.audioFrame->nb_samples = n;
        }
        if (av_audio_fifo_read(c.fifo, reinterpret_cast<void**>(c.audioFrame->data), n) != n) {
            return fail("movie writer: the audio queue lost samples");
        }
        c.audioFrame->pts = audioPts_;
        audioPts_ += c.audioFrame->nb_samples;
        if (int rc = avcodec_send_frame(c.audio, c.audioFrame); rc < 0) {
            return fail("movie writer: submitting audio failed: " + libavErrorText(rc));
        }
        if (!encodeAndWrite(false, false)) return false;
    }
}

bool MovieWriter::appendAudio(std::span<const uint8_t> pcm, uint64_t timeNs) {
    std::lock_guard<std::mutex> guard(lock_);
    Codecs& c = *codecs_;
    if (!c.audio || status_ != WriterStatus::writing || audioFinished_) return false;
    if (currentFaults().failAppend) return fail(std::nullopt);
    const int64_t frames = static_cast<int64_t>(pcm.size() / 8);
    if (timeNs < sessionStartNs_ || frames == 0) return true;
    const int64_t at = av_rescale(static_cast<int64_t>(timeNs - sessionStartNs_), audioSampleRate, kNsPerSecond);
    if (at + kAudioOverlapSamples < audioSamplesQueued_) return true;

    for (auto& plane : c.planes) plane.resize(static_cast<size_t>(std::max<int64_t>(frames, aacFrameSamples)));
    void* planes[audioChannels] = {c.planes[0].data(), c.planes[1].data()};
    if (at - audioSamplesQueued_ > aacFrameSamples) {
        // The capture paused: the movie keeps its time line with silence,
        // written a frame at a time so the queue stays small.
        std::fill(c.planes[0].begin(), c.planes[0].end(), 0.0f);
        std::fill(c.planes[1].begin(), c.planes[1].end(), 0.0f);
        while (audioSamplesQueued_ < at) {
            const int n = static_cast<int>(std::min<int64_t>(at - audioSamplesQueued_, aacFrameSamples));
            if (av_audio_fifo_write(c.fifo, planes, n) != n) return fail("movie writer: out of memory for audio");
            audioSamplesQueued_ += n;
            if (!encodeAudioFrames(false)) return false;
        }
    }
    float sample;
    for (int64_t i = 0; i < frames; ++i) {
        std::memcpy(&sample, pcm.data() + i * 8, 4);
        c.planes[0][static_cast<size_t>(i)] = sample;
        std::memcpy(&sample, pcm.data() + i * 8 + 4, 4);
        c.planes[1][static_cast<size_t>(i)] = sample;
    }
    if (av_audio_fifo_write(c.fifo, planes, static_cast<int>(frames)) != frames) {
        return fail("movie writer: out of memory for audio");
    }
    audioSamplesQueued_ += frames;
    return encodeAudioFrames(false);
}

bool MovieWriter::isReadyForMoreVideo() const {
    std::lock_guard<std::mutex> guard(lock_);
    return codecs_->video && status_ == WriterStatus::writing && !videoFinished_;
}

bool MovieWriter::isReadyForMoreAudio() const {
    std::lock_guard<std::mutex> guard(lock_);
    return codecs_->audio && status_ == WriterStatus::writing && !audioFinished_;
}

void MovieWriter::markVideoFinished() {
    std::lock_guard<std::mutex> guard(lock_);
    videoFinished_ = true;
}

void MovieWriter::markAudioFinished() {
    std::lock_guard<std::mutex> guard(lock_);
    audioFinished_ = true;
}

void MovieWriter::finishWriting(std::function<void(bool completed)> completion) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        finishing_ = true;
    }
    queue_.async([self = shared_from_this(), completion = std::move(completion)] {
        const bool completed = self->finishNow();
        if (completion) completion(completed);
    });
}

bool MovieWriter::finishNow() {
    std::lock_guard<std::mutex> guard(lock_);
    videoFinished_ = audioFinished_ = true;
    Codecs& c = *codecs_;
    if (!headerWritten_) {
        if (status_ == WriterStatus::unknown) status_ = WriterStatus::failed;
        c.closeOutput();
        discardOnce();
        return false;
    }
    if (status_ != WriterStatus::writing) return false;
    const bool drained = (!c.audio || (encodeAudioFrames(true) && encodeAndWrite(false, true))) &&
                         encodeAndWrite(true, true);
    if (!drained) return false;
    if (int rc = av_write_trailer(c.format); rc < 0) {
        return fail("movie writer: writing the index failed: " + libavErrorText(rc));
    }
    struct stat info{};
    if (c.output) avio_flush(c.output);
    if (c.file.isOpen() && ::fstat(c.file.fd(), &info) == 0) fileSize_ = static_cast<uint64_t>(info.st_size);
    if (!c.closeOutput()) return fail("movie writer: closing the file failed: " + libavErrorText(AVERROR(EIO)));
    status_ = WriterStatus::completed;
    return true;
}

MovieWriter::WriterStatus MovieWriter::status() const {
    std::lock_guard<std::mutex> guard(lock_);
    return status_;
}

std::optional<std::string> MovieWriter::errorDescription() const {
    std::lock_guard<std::mutex> guard(lock_);
    return error_;
}

std::optional<uint64_t> MovieWriter::fileSize() const {
    std::lock_guard<std::mutex> guard(lock_);
    return fileSize_;
}

}  // namespace platform
