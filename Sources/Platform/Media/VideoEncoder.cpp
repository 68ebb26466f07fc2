#include "Platform/Media/VideoEncoder.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <malloc.h>
#include <sched.h>
#include <unistd.h>

#include "Platform/Runtime/Clock.h"
#include "Platform/Runtime/Dispatch.h"
#include "Platform/Runtime/FreedMemory.h"
#include "Platform/Media/LibavSupport.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
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

// The CPU set the process was given, as its main thread holds it: a service
// manager or a container confines the whole process that way.
std::optional<cpu_set_t> processCPUSet() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(getpid(), sizeof set, &set) != 0 || CPU_COUNT(&set) == 0) return std::nullopt;
    return set;
}

// Puts every thread of the process that may run outside the process's CPU
// set back onto it. x265 pins its pool and frame threads to whole NUMA
// nodes (all of a one-node machine) whatever the process was given; no
// parameter of it narrows that, so its threads are placed here once the
// library has started them.
void keepThreadsOnProcessCPUs() {
    const auto allowed = processCPUSet();
    if (!allowed) return;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return;
    while (const dirent* entry = readdir(tasks)) {
        const pid_t tid = static_cast<pid_t>(std::atoi(entry->d_name));
        cpu_set_t current;
        CPU_ZERO(&current);
        if (tid <= 0 || sched_getaffinity(tid, sizeof current, &current) != 0) continue;
        cpu_set_t outside;
        CPU_XOR(&outside, &current, &*allowed);
        CPU_AND(&outside, &outside, &current);
        // A thread the process placed on fewer CPUs keeps its place.
        if (CPU_COUNT(&outside) > 0) sched_setaffinity(tid, sizeof *allowed, &*allowed);
    }
    closedir(tasks);
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
        // x265 spreads each picture over its thread pool by wavefront rows;
        // up to 1080p one picture in flight holds the rate, so every
        // picture's frame comes back from the call that submitted it.
        // Above that a second picture runs beside it, and the caller
        // pushes a held frame out when the screen stops changing.
        {hevc ? "x265-params" : "x264-params",
         hevc ? "bframes=0:open-gop=0:frame-threads=" + std::to_string(frameThreads(settings)) +
                    ":pools=" + std::to_string(processCPUCount()) + ":wpp=1:log-level=error"
              : "bframes=0:open-gop=0"},
    };
}

int VideoEncoder::libraryThreadCount(const VideoEncoderSettings& settings) {
    // x264 under "zerolatency" threads by slices, which also returns each
    // frame from its own call, one slice thread per CPU the process may
    // use (its threads inherit the process's CPU set); libx265 takes its
    // frame threads from here and its pool from "pools".
    return isHEVC(settings.codec) ? frameThreads(settings) : processCPUCount();
}

int VideoEncoder::processCPUCount() {
    const auto set = processCPUSet();
    return set ? CPU_COUNT(&*set) : std::max(1u, std::thread::hardware_concurrency());
}

int VideoEncoder::frameThreads(const VideoEncoderSettings& settings) {
    constexpr int64_t pixels1080p = 1920 * 1080;
    const bool above1080p = static_cast<int64_t>(settings.width) * settings.height > pixels1080p;
    return isHEVC(settings.codec) && above1080p ? 2 : 1;
}

int VideoEncoder::conversionBands(int sourceWidth, int sourceHeight, const VideoEncoderSettings& settings) {
    // Bands are converted side by side when no scaling mixes their rows;
    // each keeps at least 128 rows so that a band is worth a thread.
    if (sourceWidth != settings.width || sourceHeight != settings.height) return 1;
    return std::clamp(sourceHeight / 128, 1, std::min(processCPUCount(), 8));
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

// glibc maps a large block on its own and unmaps it when freed, but after
// the first such free it raises that size to the block's, up to 32 MiB: the
// pictures of every later encoder (a few MiB each) then come from the heaps
// of whichever threads asked, where they fragment what is left, and a
// rebuilt stream kept tens of MiB it no longer used. A fixed size keeps
// every block of a picture's size mapped and returned whole. Pictures and
// frame buffers are pooled, so this costs no system call per frame.
constexpr int kLargeBlockBytes = 1 << 20;

void mapLargeBlocksOnTheirOwn() {
#ifdef __GLIBC__
    static std::once_flag once;
    std::call_once(once, [] { mallopt(M_MMAP_THRESHOLD, kLargeBlockBytes); });
#endif
}
}  // namespace

void VideoEncoder::libraryEncoderOpening() { mapLargeBlocksOnTheirOwn(); }
void VideoEncoder::libraryEncoderClosed() { FreedMemory::returnSoon(); }
int VideoEncoder::openLibraryEncoderCountForTesting() { return openLibraryEncoders.load(); }
int VideoEncoder::freedMemoryReturnsForTesting() { return FreedMemory::returnsForTesting(); }

struct VideoEncoder::Codec {
    Codec() { openLibraryEncoders.fetch_add(1); }
    Codec(const Codec&) = delete;
    Codec& operator=(const Codec&) = delete;
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;  // the converted picture, in system memory
    AVPacket* packet = nullptr;
    // The hardware device, and for VAAPI the pool of its surfaces and the
    // surface the picture is uploaded into; null for software.
    AVBufferRef* device = nullptr;
    AVBufferRef* surfaces = nullptr;
    AVFrame* surface = nullptr;
    // One converter per band of rows (one band when the picture is scaled);
    // none when the bands go through our own 4:2:0 conversion instead.
    std::vector<SwsContext*> scalers;
    std::vector<int> bandRows;  // first row of each band, then the height
    int scalerWidth = 0, scalerHeight = 0;
    // The picture is planar 4:2:0 at the encoded size, so the bands skip the
    // library's general-purpose conversion for ours.
    bool ownConversion = false;
    // Opened on a hardware device (or on its stand-in in tests).
    bool hardware = false;
    // The library's threads were put back on the process's CPU set after
    // the first picture as well as at opening.
    bool threadsPlaced = false;
    // The stand-in's injected failure: the encode call it comes at, 0 never.
    int failAtEncode = 0;
    // The picture `frame` holds the conversion of; none before the first.
    std::optional<BGRAImage> converted;

    ~Codec() {
        for (auto* scaler : scalers) sws_freeContext(scaler);
        av_packet_free(&packet);
        av_frame_free(&surface);
        av_frame_free(&frame);
        avcodec_free_context(&context);
        av_buffer_unref(&surfaces);
        av_buffer_unref(&device);
        openLibraryEncoders.fetch_sub(1);
        FreedMemory::returnSoon();
    }
};

namespace {

std::mutex hardwareForTestingLock;
std::optional<VideoHardwareForTesting> hardwareForTesting;

std::optional<VideoHardwareForTesting> currentHardwareForTesting() {
    std::lock_guard<std::mutex> guard(hardwareForTestingLock);
    return hardwareForTesting;
}

// Opens the device a hardware encoder runs on; null when the machine has
// none. A kind whose device did not open is not asked again in this
// process: probing costs a library load each time and devices do not come
// and go under a running Host.
AVBufferRef* openHardwareDevice(HardwareVideoEncoder kind) {
    static std::mutex lock;
    static bool absent[3] = {false, false, false};
    const auto index = static_cast<size_t>(kind);
    std::lock_guard<std::mutex> guard(lock);
    if (absent[index]) return nullptr;
    AVBufferRef* device = nullptr;
    switch (kind) {
        case HardwareVideoEncoder::vaapi: {
            // Render nodes need no display server and no master rights.
            for (int node = 128; node < 136 && !device; ++node) {
                const std::string path = "/dev/dri/renderD" + std::to_string(node);
                std::error_code error;
                if (!std::filesystem::exists(path, error)) continue;
                if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, path.c_str(), nullptr, 0) < 0) device = nullptr;
            }
            break;
        }
        case HardwareVideoEncoder::nvenc:
            if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_CUDA, nullptr, nullptr, 0) < 0) device = nullptr;
            break;
        case HardwareVideoEncoder::quickSync:
            if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_QSV, "auto", nullptr, 0) < 0) device = nullptr;
            break;
    }
    if (!device) absent[index] = true;
    return device;
}

// Low-latency settings of each hardware encoder: no look-ahead, no
// reordering, IDR on request, the same variable rate under the ceiling.
// Options a driver's encoder does not know are skipped: opening it decides.
std::vector<VideoEncoderLibraryOption> hardwareOptions(HardwareVideoEncoder kind, VideoCodec codec) {
    const std::string profile = isHEVC(codec) ? "main" : "high";
    switch (kind) {
        case HardwareVideoEncoder::vaapi:
            return {{"rc_mode", "VBR"}, {"async_depth", "1"}, {"profile", profile}};
        case HardwareVideoEncoder::nvenc:
            return {{"preset", "p1"}, {"tune", "ull"},          {"rc", "vbr"},       {"zerolatency", "1"},
                    {"delay", "0"},   {"forced-idr", "1"},      {"profile", profile}};
        case HardwareVideoEncoder::quickSync:
            return {{"preset", "veryfast"}, {"forced_idr", "1"}, {"async_depth", "1"}, {"profile", profile}};
    }
    return {};
}

}  // namespace

std::string VideoEncoder::libraryEncoderName(std::optional<HardwareVideoEncoder> hardware, VideoCodec codec) {
    const std::string prefix = isHEVC(codec) ? "hevc" : "h264";
    if (!hardware) return isHEVC(codec) ? "libx265" : "libx264";
    switch (*hardware) {
        case HardwareVideoEncoder::vaapi: return prefix + "_vaapi";
        case HardwareVideoEncoder::nvenc: return prefix + "_nvenc";
        case HardwareVideoEncoder::quickSync: return prefix + "_qsv";
    }
    return prefix;
}

void VideoEncoder::setHardwareForTesting(std::optional<VideoHardwareForTesting> hardware) {
    std::lock_guard<std::mutex> guard(hardwareForTestingLock);
    hardwareForTesting = std::move(hardware);
}

VideoEncoder::VideoEncoder(const VideoEncoderSettings& settings) : settings_(settings) {}

VideoEncoder::~VideoEncoder() = default;

Result<std::unique_ptr<VideoEncoder>> VideoEncoder::create(const VideoEncoderSettings& settings) {
    quietLibavLogging();
    mapLargeBlocksOnTheirOwn();
    std::unique_ptr<VideoEncoder> encoder(new VideoEncoder(settings));
    if (auto built = encoder->build(); !built) return Result<std::unique_ptr<VideoEncoder>>::failure(built.error());
    return encoder;
}

Status VideoEncoder::build() {
    codec_.reset();
    parameterSets_ = {};
    if (auto valid = validate(settings_); !valid) return valid;

    // Hardware first, in order, where its device opens; 4:4:4 is left to
    // software, which every machine encodes the same way.
    if (!hardwareFailure_ && settings_.chroma == ChromaSubsampling::yuv420) {
        for (auto kind : {HardwareVideoEncoder::vaapi, HardwareVideoEncoder::nvenc, HardwareVideoEncoder::quickSync}) {
            if (open(kind)) break;
        }
    }
    if (!codec_) {
        if (auto opened = open(std::nullopt); !opened) return opened;
    }
    keyFramePending_ = true;
    lastPts_ = -1;
    framesInFlight_ = 0;
    hardwareEncodes_ = 0;
    ++buildNumber_;
    return success();
}

Status VideoEncoder::open(std::optional<HardwareVideoEncoder> hardware) {
    const bool hevc = isHEVC(settings_.codec);
    const bool chroma444 = settings_.chroma == ChromaSubsampling::yuv444;
    auto state = std::make_unique<Codec>();
    // In tests a device that "opens" runs the software library in its place.
    bool standIn = false;
    if (hardware) {
        if (auto injected = currentHardwareForTesting()) {
            const auto& devices = injected->devices;
            if (std::find(devices.begin(), devices.end(), *hardware) == devices.end()) {
                return Status::failure("video encoder: no device");
            }
            standIn = true;
            state->failAtEncode = injected->failAtEncode;
        } else if (!(state->device = openHardwareDevice(*hardware))) {
            return Status::failure("video encoder: no device");
        }
        state->hardware = true;
    }
    const bool onDevice = hardware && !standIn;
    const std::string encoderName = libraryEncoderName(onDevice ? hardware : std::nullopt, settings_.codec);
    const AVCodec* codec = avcodec_find_encoder_by_name(encoderName.c_str());
    if (!codec) return Status::failure("video encoder: " + encoderName + " is not available");

    AVCodecContext* ctx = state->context = avcodec_alloc_context3(codec);
    if (!ctx) return Status::failure("video encoder: out of memory for the codec context");
    ctx->width = settings_.width;
    ctx->height = settings_.height;
    // Hardware takes 4:2:0 as NV12; VAAPI from surfaces it is uploaded into.
    const AVPixelFormat pictureFormat =
        onDevice ? AV_PIX_FMT_NV12 : (chroma444 ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P);
    ctx->pix_fmt = pictureFormat;
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

    if (onDevice) {
        for (const auto& option : hardwareOptions(*hardware, settings_.codec)) {
            av_opt_set(ctx->priv_data, option.name.c_str(), option.value.c_str(), 0);
        }
        if (*hardware == HardwareVideoEncoder::vaapi) {
            state->surfaces = av_hwframe_ctx_alloc(state->device);
            if (!state->surfaces) return Status::failure("video encoder: out of memory for surfaces");
            auto* pool = reinterpret_cast<AVHWFramesContext*>(state->surfaces->data);
            pool->format = AV_PIX_FMT_VAAPI;
            pool->sw_format = AV_PIX_FMT_NV12;
            pool->width = settings_.width;
            pool->height = settings_.height;
            pool->initial_pool_size = 4;
            if (int rc = av_hwframe_ctx_init(state->surfaces); rc < 0) return avFailure<Unit>("preparing surfaces", rc);
            ctx->pix_fmt = AV_PIX_FMT_VAAPI;
            ctx->hw_frames_ctx = av_buffer_ref(state->surfaces);
            state->surface = av_frame_alloc();
            if (!ctx->hw_frames_ctx || !state->surface) return Status::failure("video encoder: out of memory for surfaces");
        } else {
            ctx->hw_device_ctx = av_buffer_ref(state->device);
            if (!ctx->hw_device_ctx) return Status::failure("video encoder: out of memory for the device");
        }
    } else {
        ctx->thread_count = libraryThreadCount(settings_);
        for (const auto& option : libraryOptions(settings_)) {
            if (int rc = av_opt_set(ctx->priv_data, option.name.c_str(), option.value.c_str(), 0); rc < 0) {
                return avFailure<Unit>("setting " + option.name + "=" + option.value, rc);
            }
        }
    }
    if (int rc = avcodec_open2(ctx, codec, nullptr); rc < 0) return avFailure<Unit>("opening " + encoderName, rc);
    if (!onDevice) keepThreadsOnProcessCPUs();

    // The global header carries the parameter sets as an Annex-B stream.
    VideoParameterSets sets;
    forEachAnnexBNal({ctx->extradata, static_cast<size_t>(std::max(ctx->extradata_size, 0))},
                     [&](std::span<const uint8_t> nal) {
                         switch (parameterSetKind(settings_.codec, nal[0])) {
                             case ParameterSet::vps: sets.vps.assign(nal.begin(), nal.end()); break;
                             case ParameterSet::sps: sets.sps.assign(nal.begin(), nal.end()); break;
                             case ParameterSet::pps: sets.pps.assign(nal.begin(), nal.end()); break;
                             case ParameterSet::none: break;
                         }
                     });
    if (sets.sps.empty() || sets.pps.empty() || (hevc && sets.vps.empty())) {
        return Status::failure("video encoder: " + encoderName + " gave no parameter sets");
    }

    state->frame = av_frame_alloc();
    state->packet = av_packet_alloc();
    if (!state->frame || !state->packet) return Status::failure("video encoder: out of memory for frame buffers");
    state->frame->format = pictureFormat;
    state->frame->width = ctx->width;
    state->frame->height = ctx->height;
    state->frame->color_range = ctx->color_range;
    state->frame->colorspace = ctx->colorspace;
    state->frame->color_primaries = ctx->color_primaries;
    state->frame->color_trc = ctx->color_trc;
    if (int rc = av_frame_get_buffer(state->frame, 0); rc < 0) return avFailure<Unit>("allocating the picture", rc);

    codec_ = std::move(state);
    parameterSets_ = std::move(sets);
    encoderName_ = hardware ? libraryEncoderName(hardware, settings_.codec) : encoderName;
    return success();
}

Status VideoEncoder::prepareScaler(const BGRAImage& image) {
    Codec& c = *codec_;
    if (!c.bandRows.empty() && c.scalerWidth == image.width && c.scalerHeight == image.height) return success();
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
    // Unscaled even-sized 4:2:0, the usual case, is several times cheaper by
    // our own conversion; it gives the same BT.709 limited-range picture.
    c.ownConversion = fitsOwnConversion(*c.frame, image.width, image.height);
    for (int band = 0; band < bands && !c.ownConversion; ++band) {
        const int rows = c.bandRows[band + 1] - c.bandRows[band];
        const int outRows = bands == 1 ? settings_.height : rows;
        SwsContext* scaler = sws_getContext(image.width, rows, AV_PIX_FMT_BGRA, settings_.width, outRows,
                                            static_cast<AVPixelFormat>(c.frame->format), SWS_BILINEAR, nullptr,
                                            nullptr, nullptr);
        if (!scaler) {
            c.bandRows.clear();
            return Status::failure("video encoder: no pixel conversion from BGRA at this size");
        }
        c.scalers.push_back(scaler);
        // RGB in, BT.709 limited-range YUV out, as the stream is tagged.
        const int* rgbCoefficients = sws_getCoefficients(SWS_CS_DEFAULT);
        const int* yuvCoefficients = sws_getCoefficients(SWS_CS_ITU709);
        if (sws_setColorspaceDetails(scaler, rgbCoefficients, 1, yuvCoefficients, 0, 0, 1 << 16, 1 << 16) < 0) {
            c.bandRows.clear();
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
    const int bands = static_cast<int>(c.bandRows.size()) - 1;
    std::atomic<bool> failed{false};
    auto convertBand = [&](int band) {
        const int first = c.bandRows[band];
        const int rows = c.bandRows[band + 1] - first;
        if (c.ownConversion) {
            convertBGRARowsIntoFrame(image, first, rows, *c.frame);
            return;
        }
        const uint8_t* sourcePlanes[4] = {image.pixels + static_cast<size_t>(first) * image.bytesPerRow, nullptr,
                                          nullptr, nullptr};
        const int sourceStrides[4] = {image.bytesPerRow, 0, 0, 0};
        uint8_t* planes[4] = {c.frame->data[0], c.frame->data[1], c.frame->data[2], nullptr};
        if (bands > 1) {
            // 4:2:0 (planar or NV12's interleaved plane) has half the chroma rows.
            const int chromaFirst = c.frame->format == AV_PIX_FMT_YUV444P ? first : first / 2;
            for (int plane = 0; plane < 3; ++plane) {
                if (!planes[plane]) continue;
                planes[plane] += static_cast<size_t>(plane == 0 ? first : chromaFirst) * c.frame->linesize[plane];
            }
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
                                                              bool forceKeyFrame, bool unchanged) {
    using R = Result<std::optional<EncodedVideoFrame>>;
    if (!codec_) return R::failure("video encoder: the encoder is not built");
    if (!image.pixels || image.width < 1 || image.height < 1 ||
        image.bytesPerRow < static_cast<int64_t>(image.width) * 4) {
        return R::failure("video encoder: the picture is empty or its rows are too short");
    }
    auto convertAndSubmit = [&]() -> R {
        // The encoder copies what it is given, so the frame still holds the
        // last conversion; a fresh build starts without one.
        const auto& last = codec_->converted;
        const bool convertedAlready = unchanged && last && last->pixels == image.pixels &&
                                      last->width == image.width && last->height == image.height &&
                                      last->bytesPerRow == image.bytesPerRow;
        if (!convertedAlready) {
            codec_->converted.reset();
            if (auto ready = prepareScaler(image); !ready) return R::failure(ready.error());
            if (int rc = av_frame_make_writable(codec_->frame); rc < 0) return avFailure<std::optional<EncodedVideoFrame>>("reusing the picture", rc);
            if (auto converted = convert(image); !converted) return R::failure(converted.error());
            codec_->converted = image;
        }
        return submit(presentationTimeNs, forceKeyFrame);
    };
    auto encoded = convertAndSubmit();
    if (encoded || !codec_ || !codec_->hardware) return encoded;

    // The hardware failed while running: software for the rest of this
    // session. Frames still inside the hardware are lost; the software's
    // first frame is a key frame behind its own parameter sets, so the
    // Viewer's decoder never meets a frame it cannot place.
    hardwareFailure_ = encoderName_ + " failed (" + encoded.error() + ")";
    if (auto built = build(); !built) return R::failure(built.error());
    return convertAndSubmit();
}

Result<std::optional<EncodedVideoFrame>> VideoEncoder::submit(uint64_t presentationTimeNs, bool keyFrame) {
    using R = Result<std::optional<EncodedVideoFrame>>;
    Codec& c = *codec_;
    if (c.failAtEncode > 0 && ++hardwareEncodes_ == c.failAtEncode) {
        return R::failure("video encoder: the device stopped answering");
    }
    // Encoders need strictly rising times; a repeated or earlier capture time
    // is nudged forward by a nanosecond rather than refused.
    int64_t pts = static_cast<int64_t>(std::min<uint64_t>(presentationTimeNs, INT64_MAX));
    if (pts <= lastPts_) pts = lastPts_ + 1;
    lastPts_ = pts;
    c.frame->pts = pts;
    c.frame->pict_type = (keyFrame || keyFramePending_) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;

    AVFrame* input = c.frame;
    if (c.surface) {
        av_frame_unref(c.surface);
        if (int rc = av_hwframe_get_buffer(c.surfaces, c.surface, 0); rc < 0) return avFailure<std::optional<EncodedVideoFrame>>("taking a surface", rc);
        if (int rc = av_hwframe_transfer_data(c.surface, c.frame, 0); rc < 0) return avFailure<std::optional<EncodedVideoFrame>>("uploading the picture", rc);
        if (int rc = av_frame_copy_props(c.surface, c.frame); rc < 0) return avFailure<std::optional<EncodedVideoFrame>>("uploading the picture", rc);
        input = c.surface;
    }
    int rc = avcodec_send_frame(c.context, input);
    if (c.surface) av_frame_unref(c.surface);
    if (rc < 0) return avFailure<std::optional<EncodedVideoFrame>>("submitting a picture", rc);
    if (!c.threadsPlaced) {
        // A pool thread the scheduler had not run yet when the encoder
        // opened pins itself when it first runs; the first picture has
        // woken the whole pool.
        c.threadsPlaced = true;
        if (!c.device) keepThreadsOnProcessCPUs();
    }
    keyFramePending_ = false;
    ++framesInFlight_;

    rc = avcodec_receive_packet(c.context, c.packet);
    if (rc == AVERROR(EAGAIN)) return std::optional<EncodedVideoFrame>{};
    if (rc < 0) return avFailure<std::optional<EncodedVideoFrame>>("receiving a frame", rc);
    --framesInFlight_;

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
    // itself; libx265 and the hardware encoders fix them when they open.
    if (codec_ && rateOnly == settings && encoderName_ == "libx264") {
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
