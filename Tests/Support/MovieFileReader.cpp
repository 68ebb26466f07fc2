#include "Support/MovieFileReader.h"

#include <algorithm>
#include <cmath>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace platform::testing {

namespace {

struct Decoder {
    AVCodecContext* context = nullptr;
    ~Decoder() { avcodec_free_context(&context); }
    bool open(const AVCodecParameters* parameters) {
        const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
        context = codec ? avcodec_alloc_context3(codec) : nullptr;
        return context && avcodec_parameters_to_context(context, parameters) >= 0 &&
               avcodec_open2(context, codec, nullptr) >= 0;
    }
    // Sends the packet (null flushes) and hands every frame it releases.
    template <class Take>
    void decode(const AVPacket* packet, AVFrame* frame, Take take) {
        if (avcodec_send_packet(context, packet) < 0) return;
        while (avcodec_receive_frame(context, frame) >= 0) {
            take(*frame);
            av_frame_unref(frame);
        }
    }
};

}  // namespace

std::optional<MovieFile> MovieFile::read(const std::filesystem::path& file,
                                         const std::vector<std::pair<double, double>>& lumaProbes) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0) return std::nullopt;
    std::unique_ptr<AVFormatContext*, void (*)(AVFormatContext**)> closer(&format, avformat_close_input);
    if (avformat_find_stream_info(format, nullptr) < 0) return std::nullopt;

    MovieFile movie;
    std::vector<MovieTrack*> tracks(format->nb_streams, nullptr);
    Decoder audioDecoder, videoDecoder;
    int audioIndex = -1, videoIndex = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVCodecParameters* p = format->streams[i]->codecpar;
        auto& slot = p->codec_type == AVMEDIA_TYPE_VIDEO ? movie.video : movie.audio;
        if ((p->codec_type != AVMEDIA_TYPE_VIDEO && p->codec_type != AVMEDIA_TYPE_AUDIO) || slot) continue;
        const AVStream* stream = format->streams[i];
        slot = MovieTrack{p->codec_id, p->codec_tag, p->profile, p->width, p->height, p->sample_rate,
                          p->ch_layout.nb_channels, 0,
                          static_cast<double>(stream->duration) * av_q2d(stream->time_base)};
        tracks[i] = &*slot;
        if (p->codec_type == AVMEDIA_TYPE_VIDEO && videoDecoder.open(p)) videoIndex = static_cast<int>(i);
        if (p->codec_type == AVMEDIA_TYPE_AUDIO && audioDecoder.open(p)) {
            audioIndex = static_cast<int>(i);
            movie.decodedAudio.resize(static_cast<size_t>(p->ch_layout.nb_channels));
        }
    }

    auto takeAudio = [&](const AVFrame& frame) {
        if (frame.format != AV_SAMPLE_FMT_FLTP) return;
        for (size_t c = 0; c < movie.decodedAudio.size(); ++c) {
            const auto* samples = reinterpret_cast<const float*>(frame.extended_data[c]);
            movie.decodedAudio[c].insert(movie.decodedAudio[c].end(), samples, samples + frame.nb_samples);
        }
    };
    auto takePicture = [&](const AVFrame& frame) {
        if (!movie.firstPictureLuma.empty() || lumaProbes.empty()) return;
        for (const auto& [fx, fy] : lumaProbes) {
            const int x = std::clamp(static_cast<int>(fx * frame.width), 0, frame.width - 1);
            const int y = std::clamp(static_cast<int>(fy * frame.height), 0, frame.height - 1);
            movie.firstPictureLuma.push_back(frame.data[0][static_cast<size_t>(y) * frame.linesize[0] + x]);
        }
    };

    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    while (av_read_frame(format, packet) >= 0) {
        const int index = packet->stream_index;
        if (MovieTrack* track = tracks[static_cast<size_t>(index)]) {
            track->packets++;
            if (index == audioIndex) audioDecoder.decode(packet, frame, takeAudio);
            if (index == videoIndex && movie.firstPictureLuma.empty()) videoDecoder.decode(packet, frame, takePicture);
        }
        av_packet_unref(packet);
    }
    if (audioIndex >= 0) audioDecoder.decode(nullptr, frame, takeAudio);
    if (videoIndex >= 0 && movie.firstPictureLuma.empty()) videoDecoder.decode(nullptr, frame, takePicture);
    av_frame_free(&frame);
    av_packet_free(&packet);
    return movie;
}

double toneStrength(const std::vector<float>& samples, double frequency, double sampleRate) {
    const double w = 2 * M_PI * frequency / sampleRate, coefficient = 2 * std::cos(w);
    double s1 = 0, s2 = 0, power = 0;
    for (float x : samples) {
        const double s0 = x + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
        power += double(x) * x;
    }
    const double magnitude = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    // A pure tone of the frequency gives about 1.
    return samples.empty() || power == 0 ? 0 : 2 * magnitude / (power * static_cast<double>(samples.size()));
}

}  // namespace platform::testing
