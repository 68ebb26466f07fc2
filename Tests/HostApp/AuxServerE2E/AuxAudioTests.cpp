// System audio end to end: logged-in Viewers receive the Mac's sound as
// Opus packets that a Viewer's decoder turns back into the source signal;
// listening here only narrows delivery to one Viewer and mutes the Mac, and
// everything is given back when Viewers leave.

#include <gtest/gtest.h>

#include <opus/opus.h>

#include <cmath>

#include "AuxServerTestFixture.h"
#include "Platform/SimulatedMac/CoreAudio.h"
#include "Platform/SimulatedMac/SimulatedSystemAudio.h"

namespace {

using Packets = std::vector<ReceivedAuxPacket>;

platform::SimulatedSystemAudio& systemAudio() {
    return platform::SimulatedMachine::current().component<platform::SimulatedSystemAudio>();
}
double hostMute() {
    return platform::SimulatedMachine::current()
        .component<platform::SimulatedAudioHardware>()
        .control(platform::SimulatedAudioHardware::defaultDeviceID, platform::kAudioDevicePropertyMute, 0)
        ->value;
}

Packets ofType(const AuxTestClient& client, AuxPacketType type) {
    Packets out;
    for (auto& p : client.packets())
        if (p.header.type == type) out.push_back(p);
    return out;
}

std::vector<std::string> audioReplies(const AuxTestClient& client) {
    std::vector<std::string> out;
    for (auto& p : ofType(client, AuxPacketType::hostStatus))
        if (p.text().rfind("audio: ", 0) == 0) out.push_back(p.text());
    return out;
}

// Signal-to-noise ratio in dB of `decoded` against `reference`.
double snr(const std::vector<double>& reference, const std::vector<double>& decoded) {
    double signal = 0, noise = 0;
    for (size_t i = 0; i < reference.size(); ++i) {
        signal += reference[i] * reference[i];
        noise += (decoded[i] - reference[i]) * (decoded[i] - reference[i]);
    }
    return 10 * std::log10(signal / std::max(noise, 1e-12));
}

class AuxAudio : public AuxServerTest {
protected:
    std::unique_ptr<AuxTestClient> listener(const std::string& name) {
        auto client = audioClient();
        EXPECT_TRUE(client->logIn(consoleUser, password, name));
        return client;
    }
    // Lets `seconds` of audio play, then collects everything sent meanwhile.
    void play(double seconds, std::initializer_list<AuxTestClient*> clients) {
        advance(seconds);
        for (auto* c : clients) c->settle();
    }
    size_t audioFrames(const AuxTestClient& c) const { return ofType(c, AuxPacketType::audioFrame).size(); }
    // What an audio control message brought back to its sender.
    std::vector<std::string> control(AuxTestClient& client, uint8_t flags) {
        const size_t before = audioReplies(client).size();
        client.send(AuxPacketType::audioControl, std::vector<uint8_t>{flags});
        client.settle();
        auto all = audioReplies(client);
        return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
    }
};

TEST_F(AuxAudio, AViewerHearsTheMacsSoundDecodedBackToTheSource) {
    auto viewer = listener("Mac Viewer");
    play(1.5, {viewer.get()});
    auto packets = ofType(*viewer, AuxPacketType::audioFrame);
    ASSERT_GE(packets.size(), 60u);

    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
    OpusEncoder* probe = opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &error);
    opus_int32 lookahead = 0;
    opus_encoder_ctl(probe, OPUS_GET_LOOKAHEAD(&lookahead));
    opus_encoder_destroy(probe);

    const uint64_t t0 = packets[0].header.timestampNs;
    const auto firstSample = static_cast<int64_t>(std::llround(static_cast<double>(t0) * 48000 / 1e9));
    std::vector<double> reference[2], decoded[2], swapped[2];
    size_t inFirstSecond = 0;
    for (size_t k = 0; k < packets.size(); ++k) {
        const auto& header = packets[k].header;
        EXPECT_EQ(header.flags, 1);
        EXPECT_EQ(opus_packet_get_bandwidth(packets[k].payload.data()), OPUS_BANDWIDTH_FULLBAND);
        EXPECT_EQ(header.timestampNs, t0 + k * 20000000) << "packets of one stream are 20 ms apart";
        if (header.timestampNs < t0 + 1000000000) inFirstSecond++;
        float pcm[960 * 2];
        ASSERT_EQ(opus_decode_float(decoder, packets[k].payload.data(),
                                    static_cast<opus_int32>(packets[k].payload.size()), pcm, 960, 0),
                  960);
        for (int i = 0; i < 960; ++i) {
            const int64_t j = static_cast<int64_t>(k) * 960 + i;  // decoded sample
            if (j < 48 * 60) continue;                            // the first 60 ms settle the codec
            const int64_t source = firstSample + j - lookahead;
            for (uint32_t c = 0; c < 2; ++c) {
                reference[c].push_back(systemAudio().sampleValue(c, source));
                swapped[c].push_back(systemAudio().sampleValue(1 - c, source));
                decoded[c].push_back(pcm[2 * i + c]);
            }
        }
    }
    opus_decoder_destroy(decoder);
    EXPECT_EQ(inFirstSecond, 50u);
    for (int c = 0; c < 2; ++c) {
        EXPECT_GE(snr(reference[c], decoded[c]), 20.0) << "channel " << c;
        EXPECT_LT(snr(swapped[c], decoded[c]), 3.0) << "channel " << c;
    }
}

TEST_F(AuxAudio, ListeningHereOnlySilencesTheOthersAndTheMacUntilTheListenerLeaves) {
    auto first = listener("First");
    auto second = listener("Second");
    play(0.5, {first.get(), second.get()});
    const int64_t sent = server->queue.syncValue([&] { return server->audio.framesSent; });
    EXPECT_GT(sent, 0);
    EXPECT_EQ(audioFrames(*first), static_cast<size_t>(sent)) << "counted per packet, not per Viewer";
    EXPECT_EQ(audioFrames(*second), static_cast<size_t>(sent));

    EXPECT_EQ(control(*second, 0x01), std::vector<std::string>{"audio: listening here only enabled; Host output muted"});
    EXPECT_EQ(hostMute(), 1);
    first->settle();
    const size_t heardByFirst = audioFrames(*first), heardBySecond = audioFrames(*second);
    play(1, {first.get(), second.get()});
    EXPECT_EQ(audioFrames(*first), heardByFirst);
    EXPECT_GE(audioFrames(*second), heardBySecond + 49);

    second->close();
    ASSERT_TRUE(waitForSessions(1, 0));
    play(1, {first.get()});
    EXPECT_GE(audioFrames(*first), heardByFirst + 49);
    EXPECT_EQ(hostMute(), 0);
    EXPECT_TRUE(logContains("exclusive audio released: Viewer disconnected; Host output restored"));

    // Nobody listens for 2 s: the next listener's packets carry the time of
    // the sound it hears, not a chain left over from before the gap.
    first->close();
    ASSERT_TRUE(waitForSessions(0, 0));
    const uint64_t left = platform::Clock::uptimeNs();
    advance(2);
    auto third = listener("Third");
    play(0.2, {third.get()});
    auto packets = ofType(*third, AuxPacketType::audioFrame);
    ASSERT_FALSE(packets.empty());
    EXPECT_GT(packets[0].header.timestampNs, left + 1900000000);
}

struct ControlStep {
    int viewer;  // 0 or 1
    uint8_t flags;
    std::vector<std::string> replies;
    double muteAfter;
};

TEST_F(AuxAudio, AudioControlRepliesAndTheMacsOutputFollowEachStep) {
    auto a = listener("Anna");
    auto b = listener("Ben");
    AuxTestClient* viewers[] = {a.get(), b.get()};
    const ControlStep steps[] = {
        {0, 0x00, {"audio: listening here only is not active for this Viewer"}, 0},
        {0, 0x05,
         {"audio: Host output muted for Anna; Host output muted",
          "audio: listening here only enabled; Host output remains muted at a Viewer's request"},
         1},
        {0, 0x04 | 0x01, {"audio: listening here only enabled; Host output remains muted for exclusive listening"}, 1},
        {1, 0x01, {"audio: listening here only enabled; Host output remains muted for exclusive listening"}, 1},
        {0, 0x01,
         {"audio: Host output restored for Anna; Host output remains muted for exclusive listening",
          "audio: listening here only enabled; Host output remains muted for exclusive listening"},
         1},
        {0, 0x00, {"audio: listening here only disabled"}, 0},
        {1, 0x04, {"audio: Host output muted for Ben; Host output muted"}, 1},
        {1, 0x04, {}, 1},
        {1, 0x00, {"audio: Host output restored for Ben; Host output restored"}, 0},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        EXPECT_EQ(control(*viewers[steps[i].viewer], steps[i].flags), steps[i].replies) << "step " << i;
        EXPECT_EQ(hostMute(), steps[i].muteAfter) << "step " << i;
    }
    a->settle();
    auto notices = audioReplies(*a);
    EXPECT_EQ(std::count(notices.begin(), notices.end(),
                         "audio: listening here only disabled because another Viewer became exclusive"),
              1)
        << "Anna hears once that Ben took over";
}

}  // namespace

namespace {

TEST_F(AuxAudio, TerminationGivesAViewersMuteBackOnceAndClosingSessionsClaimNothingMore) {
    auto a = listener("Anna");
    EXPECT_EQ(control(*a, 0x04), std::vector<std::string>{"audio: Host output muted for Anna; Host output muted"});
    ASSERT_EQ(hostMute(), 1);
    server->stopForTermination();
    EXPECT_EQ(hostMute(), 0);
    EXPECT_EQ(logCount("released on disconnect"), 0u) << "the mute was already given back by termination";
}

}  // namespace
