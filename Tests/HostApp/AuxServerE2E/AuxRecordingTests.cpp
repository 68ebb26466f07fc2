// Recording on the Host, driven by Viewers over real sockets: a recording
// of the live capture and its sound plays back as both, the control message
// starts and stops it, the owner hears how it went, a takeover, a restart,
// a departure and termination each leave a complete movie, and malformed or
// premature requests are refused.

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <optional>


#include "AuxServerTestFixture.h"
#include "VideoPipelineFixture.h"
#include "HostApp/FileDelivery/ViewerPathConfinement.h"
#include "HostApp/Protocol/AudioControlPayloads.h"
#include "HostApp/StreamControl/StreamChangePacer.h"
#include "Platform/Runtime/Clock.h"
#include "Platform/Files/Folders.h"
#include "Platform/Media/MovieWriter.h"
#include "Support/MovieFileReader.h"

using platform::testing::MovieFile;

namespace {

using State = HostRecordingStatePayload;

std::vector<uint8_t> startFullFrame() {
    return HostRecordingControlPayload{HostRecordingAction::start, 0, 0, 1, 1}.encode();
}
std::vector<uint8_t> stop() { return HostRecordingControlPayload{HostRecordingAction::stop, 0, 0, 1, 1}.encode(); }

// Every recording state the client received, decoded.
std::vector<State> states(AuxTestClient& client) {
    client.settle();
    std::vector<State> out;
    for (const auto& p : client.packets()) {
        if (p.header.type != AuxPacketType::hostRecordingState) continue;
        auto decoded = State::decode(p.payload);
        EXPECT_TRUE(decoded);
        if (decoded) out.push_back(*decoded);
    }
    return out;
}

std::filesystem::path folder() { return platform::Folders::movies() / "Norvessal Recordings"; }

class AuxRecording : public AuxServerTest {
protected:
    void TearDown() override {
        AuxServerTest::TearDown();
        platform::MovieWriter::setFaultsForTesting({});
    }

    // A Viewer logged in on the audio channel, and its session.
    std::pair<std::unique_ptr<AuxTestClient>, platform::UUID> viewer(const std::string& name) {
        const auto before = server->queue.syncValue([&] { return server->authorizedAudioSessions; });
        auto client = audioClient();
        EXPECT_TRUE(client->logIn(consoleUser, password, name));
        const auto after = server->queue.syncValue([&] { return server->authorizedAudioSessions; });
        for (const auto& id : after)
            if (!before.count(id)) return {std::move(client), id};
        ADD_FAILURE() << "no new session";
        return {std::move(client), platform::UUID()};
    }
    void knowSourceSize(int width, int height) { server->recording.hostRecordingSourceSize.set(width, height); }
    // Sends the control message and lets everything it caused finish,
    // movies included.
    void control(AuxTestClient& client, const std::vector<uint8_t>& payload) {
        client.send(AuxPacketType::hostRecordingControl, payload);
        client.settle();
        runUntilIdle();
    }
    std::vector<std::string> recordingLines() const {
        std::vector<std::string> out;
        for (const auto& line : logLines()) {
            if (auto at = line.find("recording: "); at != std::string::npos) out.push_back(line.substr(at));
        }
        return out;
    }
};

// The shared capture of a small monitor and the Mac's tone, recorded.
class RecordingEndToEnd : public VideoPipelineTest {
protected:
    void TearDown() override {
        VideoPipelineTest::TearDown();
        platform::MovieWriter::setFaultsForTesting({});
    }
};

}  // namespace

TEST_F(RecordingEndToEnd, AMovieOfTheLiveCaptureAndItsSoundPlaysBackAsBoth) {
    auto video = viewer("Mac Viewer");
    auto audio = audioClient();
    ASSERT_TRUE(audio->logIn(consoleUser, password, "Mac Viewer"));
    run(1.0, {video.get()});

    struct Case {
        const char* what;
        platform::MovieWriterFaults faults;
        AVCodecID codec;
        bool hasAudio;
    };
    const Case cases[] = {
        {"HEVC and AAC", {}, AV_CODEC_ID_HEVC, true},
        {"HEVC refused: H.264 High", {.refuseHEVC = true}, AV_CODEC_ID_H264, true},
        {"audio refused: a silent movie, nothing reported", {.refuseAudioInput = true}, AV_CODEC_ID_HEVC, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform::MovieWriter::setFaultsForTesting(c.faults);
        const size_t before = states(*audio).size();
        // Starts and stops are paced: each one after the hold of the last.
        run(StreamChangePacer::recordingHoldSeconds, {video.get()});
        audio->send(AuxPacketType::hostRecordingControl, startFullFrame());
        audio->settle();
        run(2.0, {video.get()});
        audio->send(AuxPacketType::hostRecordingControl, stop());
        audio->settle();
        runUntilIdle();
        const auto all = states(*audio);
        ASSERT_EQ(all.size(), before + 2);
        EXPECT_EQ(all[before], (State{HostRecordingState::started, 0, "", ""}));
        const State& finished = all[before + 1];
        ASSERT_EQ(finished.state, HostRecordingState::finished) << finished.message;
        EXPECT_EQ(std::filesystem::path(finished.path).parent_path(), folder());
        EXPECT_EQ(finished.fileSize, std::filesystem::file_size(finished.path));

        auto movie = MovieFile::read(finished.path);
        ASSERT_TRUE(movie && movie->video);
        // The 320 x 180 monitor, fitted to the 1920 x 1080 box.
        EXPECT_EQ(movie->video->codec, c.codec);
        if (c.codec == AV_CODEC_ID_HEVC) {
            EXPECT_EQ(movie->video->codecTag, MKTAG('h', 'v', 'c', '1'));
        } else {
            EXPECT_EQ(movie->video->profile, 100) << "High";
        }
        EXPECT_EQ(movie->video->width, 1920);
        EXPECT_EQ(movie->video->height, 1080);
        EXPECT_NEAR(movie->video->durationSeconds, 2.0, 0.15);
        EXPECT_NEAR(static_cast<double>(movie->video->packets), 60, 1) << "about 30 frames a second";
        ASSERT_EQ(movie->audio.has_value(), c.hasAudio);
        if (c.hasAudio) {
            EXPECT_EQ(movie->audio->sampleRate, 48000);
            ASSERT_EQ(movie->decodedAudio.size(), 2u);
            EXPECT_NEAR(movie->audio->durationSeconds, 2.0, 0.15);
            EXPECT_GT(platform::testing::toneStrength(movie->decodedAudio[0], 440, 48000), 0.5);
            EXPECT_GT(platform::testing::toneStrength(movie->decodedAudio[1], 660, 48000), 0.5);
        }
    }
    EXPECT_FALSE(logContains("recording: failed"));
}

TEST_F(AuxRecording, RefusesMalformedAndPrematureRequests) {
    struct Case {
        const char* what;
        std::vector<uint8_t> payload;
        std::pair<int, int> sourceSize;
        std::vector<std::string> lines;
        std::vector<State> states;
    };
    auto tooShort = startFullFrame();
    tooShort.pop_back();
    auto action2 = startFullFrame();
    action2[0] = 2;
    const State noSource{HostRecordingState::failed, 0, "", "no capture source"};
    const Case cases[] = {
        {"8 bytes", tooShort, {320, 180}, {"recording: bad control payload"}, {}},
        {"action 2", action2, {320, 180}, {"recording: bad control payload"}, {}},
        {"a start before any frame", startFullFrame(), {0, 0}, {"recording: no capture source size yet"}, {noSource}},
        {"frames under 16 pixels", startFullFrame(), {15, 900}, {"recording: no capture source size yet"}, {noSource}},
        {"a stop with nothing running", stop(), {320, 180}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto [client, id] = viewer("Viewer");
        knowSourceSize(c.sourceSize.first, c.sourceSize.second);
        // Past the hold of the case before.
        advance(StreamChangePacer::recordingHoldSeconds);
        log->clear();
        control(*client, c.payload);
        EXPECT_EQ(recordingLines(), c.lines);
        EXPECT_EQ(states(*client), c.states);
        EXPECT_FALSE(std::filesystem::exists(folder()) && !std::filesystem::is_empty(folder()));
    }
}

TEST_F(AuxRecording, TheOwnerHearsHowItsRecordingEndedAndEveryMovieIsComplete) {
    auto [first, firstID] = viewer("First");
    auto [second, secondID] = viewer("Second");
    knowSourceSize(3024, 1964);
    // Starts and stops are paced: each below comes after the hold of the
    // one before.
    const double hold = StreamChangePacer::recordingHoldSeconds;
    advance(hold);

    // The folder and the movie it keeps open are on its peer's account
    // while it records (both Viewers are of one peer here), and refused,
    // with the reason, to a peer at its bound.
    using platform::WorkLedger;
    const platform::UUID firstSession = firstID;
    const auto peer = server->queue.syncValue([&] { return server->ledgerOfSession(firstSession); });
    const size_t sockets = peer->held(WorkLedger::Held::descriptors);
    auto most = WorkLedger::Holding::take(peer, WorkLedger::Held::descriptors,
                                          WorkLedger::heldBound(WorkLedger::Held::descriptors) - sockets - 1);
    ASSERT_TRUE(most);
    control(*first, startFullFrame());
    EXPECT_EQ(states(*first), (std::vector<State>{{HostRecordingState::failed, 0, "", "too many descriptors held"}}));
    EXPECT_FALSE(server->recording.hostRecording.load());
    most.reset();
    advance(hold);
    log->clear();

    control(*first, startFullFrame());
    const State started{HostRecordingState::started, 0, "", ""};
    EXPECT_EQ(states(*first), (std::vector<State>{{HostRecordingState::failed, 0, "", "too many descriptors held"}, started}));
    EXPECT_EQ(peer->held(WorkLedger::Held::descriptors), sockets + 2);
    ASSERT_EQ(recordingLines().size(), 1u);
    const std::string line = recordingLines()[0], prefix = "recording: started ";
    const std::filesystem::path firstPath = line.substr(prefix.size(), line.find(" region=") - prefix.size());
    EXPECT_EQ(line, prefix + firstPath.string() + " region=(0.0, 0.0, 1.0, 1.0)");
    EXPECT_EQ(firstPath.parent_path(), folder());
    const std::string stem = firstPath.stem().string();
    EXPECT_EQ(stem.size(), std::string("Norvessal-yyyyMMdd-HHmmss").size());
    advance(hold);

    // Only the owner stops it.
    log->clear();
    control(*second, stop());
    EXPECT_EQ(recordingLines(), std::vector<std::string>{"recording: stop ignored from session " + secondID.id8() +
                                                         "; owner is " + firstID.id8()});

    // Another session takes over: the old owner is told it finished.
    advance(hold);
    log->clear();
    control(*second, startFullFrame());
    EXPECT_EQ(states(*first).back(),
              (State{HostRecordingState::finished, std::filesystem::file_size(firstPath), firstPath.string(), ""}));
    EXPECT_EQ(states(*second), std::vector<State>{started});
    std::filesystem::path secondPath;
    for (const auto& l : recordingLines())
        if (l.rfind(prefix, 0) == 0) secondPath = l.substr(prefix.size(), l.find(" region=") - prefix.size());
    EXPECT_EQ(secondPath.parent_path(), folder());
    EXPECT_NE(secondPath, firstPath) << "the takeover's movie is a file of its own";
    advance(hold);

    // The owner restarts: one started state, the old movie finished quietly.
    log->clear();
    control(*second, startFullFrame());
    EXPECT_EQ(states(*second), (std::vector<State>{started, started}));
    EXPECT_TRUE(logContains("recording: finished " + secondPath.filename().string() + " " +
                            std::to_string(std::filesystem::file_size(secondPath)) + " bytes"));
    advance(hold);

    // The owner leaves: no message, a finished movie.
    log->clear();
    second->close();
    ASSERT_TRUE(waitForSessions(1, 0));
    runUntilIdle();
    EXPECT_EQ(recordingLines().front(),
              "recording: session " + secondID.id8() + " left; stopping Host-side recording");
    EXPECT_EQ(recordingLines().back().rfind("recording: finished ", 0), 0u);
    EXPECT_EQ(states(*first).size(), 3u);
    EXPECT_EQ(peer->held(WorkLedger::Held::descriptors), sockets - 1) << "the movies', and the gone Viewer's socket, given back";
    EXPECT_EQ(peer->mostFilesOpenPastItsHoldings(), 0u);
    size_t movies = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder())) {
        movies++;
        EXPECT_TRUE(MovieFile::read(entry.path())) << entry.path();
    }
    EXPECT_EQ(movies, 3u);
}

TEST_F(AuxRecording, AWriterThatNeverStartedIsReportedAtTheStop) {
    platform::MovieWriter::setFaultsForTesting({.failStartWriting = true});
    auto [client, id] = viewer("Viewer");
    knowSourceSize(1920, 1080);
    control(*client, startFullFrame());
    advance(StreamChangePacer::recordingHoldSeconds);
    control(*client, stop());
    EXPECT_EQ(states(*client), (std::vector<State>{{HostRecordingState::started, 0, "", ""},
                                                   {HostRecordingState::failed, 0, "", "writer failed to start"}}));
    EXPECT_TRUE(logContains("recording: failed writer failed to start"));
    EXPECT_TRUE(std::filesystem::is_empty(folder()));
}

TEST_F(AuxRecording, TerminationReturnsAtOnceAndReportsStoppedOnlyOnceTheMovieIsFinished) {
    auto [client, id] = viewer("Viewer");
    knowSourceSize(1920, 1080);
    control(*client, startFullFrame());
    advance(1);
    server->queue.resetLongestWorkItemForTesting();
    bool stopped = false;
    std::optional<bool> movieHadItsIndex;
    server->beginTermination([&] {
        stopped = true;
        std::vector<std::filesystem::path> movies(std::filesystem::directory_iterator(folder()), {});
        auto movie = movies.size() == 1 ? MovieFile::read(movies[0]) : std::nullopt;
        movieHadItsIndex = movie && movie->audio;
    });
    EXPECT_FALSE(stopped);
    EXPECT_FALSE(logContains("aux: server stopped"));
    ASSERT_TRUE(runUntil([&] { return stopped; }));
    EXPECT_TRUE(logContains("aux: server stopped"));
    EXPECT_EQ(movieHadItsIndex, true);
    // The wait for the writer is not the server queue's.
    EXPECT_LT(server->queue.longestWorkItemSecondsForTesting(), 0.25);
    // A second request is answered at once.
    bool again = false;
    server->beginTermination([&] { again = true; });
    runUntilIdle();
    EXPECT_TRUE(again);
}

TEST_F(AuxRecording, TerminationFinishesTheRunningMovie) {
    auto [client, id] = viewer("Viewer");
    knowSourceSize(1920, 1080);
    control(*client, startFullFrame());
    advance(1);
    server->stopForTermination();
    std::vector<std::filesystem::path> movies(std::filesystem::directory_iterator(folder()), {});
    ASSERT_EQ(movies.size(), 1u);
    auto movie = MovieFile::read(movies[0]);
    ASSERT_TRUE(movie && movie->audio) << "the movie has its index";
    EXPECT_NEAR(movie->audio->durationSeconds, 1.0, 0.1);
}

// The movies folder is reached as the user's own programs reach it: a
// Videos folder the user linked to another folder of theirs gets the movie.
TEST_F(AuxRecording, TheMovieFollowsTheUsersOwnLinkedVideosFolder) {
    namespace fs = std::filesystem;
    const fs::path movies = platform::Folders::movies();
    const fs::path elsewhere = dataRoot->path() / "elsewhere";
    struct Case {
        const char* what;
        bool videosIsALink;
    };
    for (const auto& c : {Case{"the user's own Videos", false}, Case{"Videos a link to the user's folder", true}}) {
        SCOPED_TRACE(c.what);
        fs::remove_all(movies);
        fs::remove_all(elsewhere);
        fs::create_directories(movies.parent_path());
        if (c.videosIsALink) {
            fs::create_directories(elsewhere);
            fs::create_directory_symlink(elsewhere, movies);
        }
        auto [client, id] = viewer("Viewer");
        knowSourceSize(1920, 1080);
        // Starts and stops are a hold apart, whoever asks: the last row's stop too.
        advance(StreamChangePacer::recordingHoldSeconds);
        control(*client, startFullFrame());
        advance(StreamChangePacer::recordingHoldSeconds);
        control(*client, stop());
        const auto all = states(*client);
        ASSERT_FALSE(all.empty());
        ASSERT_EQ(all.back().state, HostRecordingState::finished) << all.back().message;
        const fs::path movie = all.back().path;
        EXPECT_EQ(fs::canonical(movie).parent_path(),
                  fs::canonical(c.videosIsALink ? elsewhere : movies) / "Norvessal Recordings");
        EXPECT_EQ(all.back().fileSize, fs::file_size(movie));
        EXPECT_TRUE(MovieFile::read(movie));
        client->close();
        runUntilIdle();
    }
}
