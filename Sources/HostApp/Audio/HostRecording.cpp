// Recording on the Host: a Viewer's control message (type 50) starts a
// recording of a region of the shared capture, or stops it. At most one
// recording runs; the session that started it owns it and is told (type
// 51) when it started and how it ended. The movie is finished after the
// fields are cleared, so a new start never waits for the old file.

#include <cerrno>
#include <charconv>
#include <cmath>
#include <ctime>
#include <utility>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "Platform/Files/ConfinedFolder.h"
#include "Platform/Files/FileMoves.h"
#include "Platform/Files/Folders.h"

using platform::CGRect;
using platform::Clock;
using platform::UUID;

namespace {

// Frames smaller than this on either side are no capture to record.
constexpr double kMinimumSourceSide = 16;

// The shortest text that reads back as the same number, whole numbers
// with ".0" as in "(0.0, 0.0, 1.0, 1.0)".
std::string decimal(double v) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    std::string s(text, end);
    if (s.find_first_of(".en") == std::string::npos) s += ".0";
    return s;
}

// GCC 12 at -O3 warns that the string inlines of "(" + ... may overlap
// (its -Wrestrict false positive, GCC bug 105651).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
std::string regionText(const CGRect& r) {
    return "(" + decimal(r.x) + ", " + decimal(r.y) + ", " + decimal(r.width) + ", " + decimal(r.height) + ")";
}
#pragma GCC diagnostic pop

// The folder recordings go in, opened; made with the process's rights and
// umask, the console user's own (a Host started for them has become them).
platform::Result<std::shared_ptr<platform::ConfinedFolder>> recordingsFolder() {
    return platform::ConfinedFolder::openTop(platform::Folders::movies() / "Norvessal Recordings", true);
}

// A new movie "Norvessal-yyyyMMdd-HHmmss.mp4" (local time) in `folder`,
// made exclusively there. A name already taken (a second start within the
// same second, whose first movie may still be being finished) gets "-2",
// "-3", ... before the extension.
platform::Result<platform::MovieOutput> newMovie(const std::shared_ptr<platform::ConfinedFolder>& folder,
                                                 const std::shared_ptr<platform::WorkLedger::Holding>& held) {
    using R = platform::Result<platform::MovieOutput>;
    const auto seconds = static_cast<time_t>(std::floor(Clock::now().secondsSince1970));
    tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = std::string("Norvessal-") + stamp;
    for (int n = 1; n <= platform::FileMoves::maxNameVariants; ++n) {
        const std::string name = base + (n == 1 ? std::string() : "-" + std::to_string(n)) + ".mp4";
        errno = 0;
        auto made = folder->createFile(name, 0644);
        if (made) {
            // An unwritten movie goes as it came: by its name in the
            // folder as opened, with the same rights. The writer keeps the
            // folder with it, and the descriptors held for the two until
            // both are closed: the folder is let go of before them (members
            // go last to first; a lambda's captures in no stated order).
            struct Kept {
                std::shared_ptr<platform::WorkLedger::Holding> held;
                std::shared_ptr<platform::ConfinedFolder> folder;
            };
            return platform::MovieOutput{std::move(*made), folder->path() / name,
                                         [kept = Kept{held, folder}, name] { (void)kept.folder->remove(name); }};
        }
        if (errno != EEXIST) return R::failure(made.error());
    }
    return R::failure("no free name for a movie in " + folder->path().string());
}

}  // namespace

void V230HostAudioAuxServer::handleHostRecordingControl(std::span<const uint8_t> payload, const UUID& sourceID) {
    queue.dispatchPrecondition();
    const auto control = HostRecordingControlPayload::decode(payload);
    if (!control) {
        publish("recording: bad control payload");
        return;
    }
    if (control->action == HostRecordingAction::start) {
        startHostRecording(CGRect{control->x, control->y, control->width, control->height}, sourceID);
        return;
    }
    const auto& owner = recording.hostRecordingSessionID;
    if (!owner) return;
    if (*owner == sourceID) {
        stopHostRecording(true);
        return;
    }
    publish("recording: stop ignored from session " + sourceID.id8() + "; owner is " + owner->id8());
}

void V230HostAudioAuxServer::startHostRecording(const CGRect& region, const UUID& initiator) {
    queue.dispatchPrecondition();
    // A Viewer restarting its own recording hears only about the new one;
    // another session's recording is taken over and its owner told.
    if (recording.hostRecording.load() && recording.hostRecordingSessionID) {
        stopHostRecording(*recording.hostRecordingSessionID != initiator);
    }
    const platform::CGSize source = recording.hostRecordingSourceSize.value();
    if (source.width < kMinimumSourceSide || source.height < kMinimumSourceSide) {
        publish("recording: no capture source size yet");
        sendHostRecordingState(initiator, {HostRecordingState::failed, 0, "", "no capture source"});
        return;
    }
    auto fail = [&](const std::string& description) {
        publish("recording: start failed " + description);
        sendHostRecordingState(initiator, {HostRecordingState::failed, 0, "", description});
    };
    using platform::WorkLedger;
    const auto asker = WorkLedger::current();
    auto descriptors = WorkLedger::Holding::take(asker, WorkLedger::Held::descriptors, RecordingState::kDescriptors);
    if (!descriptors)
        return fail(WorkLedger::descriptorRefusal(asker, "too many descriptors held", RecordingState::kDescriptors));
    const auto folder = recordingsFolder();
    if (!folder) return fail(folder.error());
    auto movie = newMovie(*folder, std::make_shared<WorkLedger::Holding>(std::move(*descriptors)));
    if (!movie) return fail(movie.error());
    const auto url = movie->path;
    auto created = HostMovieRecorder::create(std::move(*movie), region, static_cast<int>(source.width),
                                             static_cast<int>(source.height), Clock::uptimeNs());
    if (!created) return fail(created.error());
    recording.hostRecording.store(*created);
    recording.hostRecordingSessionID = initiator;
    publish("recording: started " + url.string() + " region=" + regionText(region));
    sendHostRecordingState(initiator, {HostRecordingState::started, 0, "", ""});
}

void V230HostAudioAuxServer::stopHostRecording(bool notifyStopped) {
    queue.dispatchPrecondition();
    // Cleared first: from here on neither capture feeds the recorder.
    auto recorder = recording.hostRecording.exchange(nullptr);
    if (!recorder) return;
    const auto owner = std::exchange(recording.hostRecordingSessionID, std::nullopt);
    auto finished = std::make_shared<platform::DispatchSemaphore>(0);
    recording.lastFinish = finished;
    std::weak_ptr<V230HostAudioAuxServer> weak = weak_from_this();
    recorder->finish([weak, recorder, owner, notifyStopped, finished](bool completed) {
        // Signalled here, on the writer's thread: termination waits for it
        // on the server queue, where the report below cannot run yet.
        finished->signal();
        auto self = weak.lock();
        if (!self) return;
        self->queue.async([weak, recorder, owner, notifyStopped, completed] {
            auto self = weak.lock();
            if (!self) return;
            if (completed) {
                const uint64_t bytes = recorder->movieSize().value_or(0);
                self->publish("recording: finished " + recorder->outputURL.filename().string() + " " +
                              std::to_string(bytes) + " bytes");
                if (notifyStopped && owner) {
                    self->sendHostRecordingState(
                        *owner, {HostRecordingState::finished, bytes, recorder->outputURL.string(), ""});
                }
                return;
            }
            const auto failure = recorder->failureMessage();
            self->publish("recording: failed " + failure.value_or("unknown error"));
            if (notifyStopped && owner) {
                self->sendHostRecordingState(*owner,
                                             {HostRecordingState::failed, 0, "", failure.value_or("recording failed")});
            }
        });
    });
}

void V230HostAudioAuxServer::stopHostRecordingForTermination() {
    queue.dispatchPrecondition();
    stopHostRecording(false);
}

void V230HostAudioAuxServer::sendHostRecordingState(const UUID& sessionID, const HostRecordingStatePayload& state) {
    queue.dispatchPrecondition();
    const auto connection = audioSessions.find(sessionID);
    if (connection == audioSessions.end()) return;
    sendToSession(sessionID, AuxChannel::audio, connection->second, AuxPacketType::hostRecordingState,
                  state.encode());
}
