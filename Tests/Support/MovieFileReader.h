#pragma once
// A movie file read back the way a player reads it: demuxed by libavformat,
// its audio and first picture decoded by libavcodec.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace platform::testing {

struct MovieTrack {
    AVCodecID codec = AV_CODEC_ID_NONE;
    uint32_t codecTag = 0;
    int profile = -1;
    int width = 0, height = 0;          // video
    int sampleRate = 0, channels = 0;  // audio
    size_t packets = 0;
    double durationSeconds = 0;  // as the track's header gives it
};

struct MovieFile {
    std::optional<MovieTrack> video;
    std::optional<MovieTrack> audio;
    // The audio track decoded, one list of samples per channel.
    std::vector<std::vector<float>> decodedAudio;
    // Luma of the first decoded picture at the given fractions of its width
    // and height (from the top left), for the probe points asked for.
    std::vector<int> firstPictureLuma;

    // None when libavformat cannot open the file or find its streams.
    static std::optional<MovieFile> read(const std::filesystem::path& file,
                                         const std::vector<std::pair<double, double>>& lumaProbes = {});
};

// The strength of one frequency in a signal (Goertzel), relative to the
// signal's power.
double toneStrength(const std::vector<float>& samples, double frequency, double sampleRate);

}  // namespace platform::testing
