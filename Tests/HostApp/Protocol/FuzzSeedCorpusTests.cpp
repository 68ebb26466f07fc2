// The seed inputs of the server's fuzz target (fuzz/corpus/fuzz_aux_server):
// whole packets as a Viewer sends them, made by the real encoders, so that
// the fuzzer starts from valid headers, identity challenges, logins and
// every control message instead of having to find a 20-byte header by
// chance. The committed files must be exactly what the encoders make now;
// run with NORVESSAL_WRITE_FUZZ_SEEDS=1 to write them again after a change
// of the wire format.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "HostApp/Capture/CaptureModeControlPayload.h"
#include "HostApp/Protocol/AudioControlPayloads.h"
#include "HostApp/Protocol/AuxPacket.h"
#include "HostApp/Protocol/DisplayControlPayloads.h"
#include "HostApp/Protocol/InputControlPayloads.h"
#include "HostApp/Protocol/SessionPayloads.h"
#include "HostApp/Protocol/VideoControlPayloads.h"
#include "VelantrixProfiles/Clipboard/ClipboardTransfer.h"
#include "VelantrixProfiles/FileTransfer/FileTransferPacket.h"

namespace fs = std::filesystem;

namespace {

// The target's first byte: bit 0 the video port, bit 1 logged in first.
constexpr uint8_t kAudio = 0, kVideo = 1, kLoggedIn = 2;

using Bytes = std::vector<uint8_t>;

Bytes packet(AuxPacketType type, const Bytes& payload) { return makeAuxPacket(type, 0, payload, 0); }

Bytes challenge() {
    HostIdentityChallengePayload p;
    for (size_t i = 0; i < p.challenge.size(); ++i) p.challenge[i] = static_cast<uint8_t>(i * 7 + 1);
    return packet(AuxPacketType::hostIdentityChallenge, p.encode());
}

// A login in its real shape: a key and a sealed box the size of real
// credentials. Sealed to no proof the Host will make, so it is refused
// after its whole decoding, as a wrong password would be.
Bytes login() {
    ViewerLoginPayload p;
    for (size_t i = 0; i < p.viewerPublicKey.size(); ++i) p.viewerPublicKey[i] = static_cast<uint8_t>(0x40 + i);
    const ViewerLoginCredentials credentials{"ann", "correct horse battery", "Fuzz Viewer", std::nullopt};
    const Bytes plain = credentials.encode();
    p.sealedBox.assign(ViewerLoginPayload::nonceSize + plain.size() + ViewerLoginPayload::tagSize, 0x5A);
    return packet(AuxPacketType::viewerLogin, p.encode());
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Every message a logged-in Viewer sends, one of each.
std::map<std::string, Bytes> controlMessages() {
    std::map<std::string, Bytes> m;
    m["audio-control"] = packet(AuxPacketType::audioControl, AudioControlPayload{true, true, true, 48000}.encode());
    auto capture = CaptureModeControlPayload::preset(VideoCaptureMode::easy, VideoChromaMode::yuv420,
                                                     VideoCaptureBackend::headlessVirtual);
    capture.controlIntent = CaptureModeControlPayload::intentExplicit;
    m["capture-mode"] = packet(AuxPacketType::captureModeControl, capture.encode());
    m["video-preference"] =
        packet(AuxPacketType::videoPreferenceControl, VideoPreferenceControlPayload{VideoChromaMode::yuv444}.encode());
    m["host-display-mode"] = packet(AuxPacketType::hostDisplayModeControl,
                                    HostDisplayModeControlPayload{HostDisplayMode::physical1080}.encode());
    m["physical-display"] = packet(AuxPacketType::hostPhysicalDisplayControl,
                                   HostPhysicalDisplayControlPayload{HostPhysicalDisplayAction::next}.encode());
    m["pointer"] = packet(AuxPacketType::pointerEvent, PointerEventControlPayload{1, 200, 100, 1920, 1080}.encode());
    m["gesture"] = packet(AuxPacketType::gestureEvent,
                          GestureEventControlPayload{GestureEventKind::scroll, 10, 10, 1920, 1080, 0, -3, 1}.encode());
    m["key"] = packet(AuxPacketType::keyEvent, KeyEventControlPayload{0x61, true}.encode());
    m["raw-key"] = packet(AuxPacketType::rawKeyEvent, RawKeyEventControlPayload{0, 0x100, true}.encode());
    m["system-key"] = packet(AuxPacketType::systemDefinedKeyEvent, SystemDefinedKeyEventControlPayload{16}.encode());
    m["shortcut"] = packet(AuxPacketType::hostShortcut, HostShortcutControlPayload{HostShortcutKind::nextDesktop}.encode());
    m["drag-pull"] = packet(AuxPacketType::dragPull, DragPullRequestPayload{1, 0}.encode());
    m["key-frame-request"] = packet(AuxPacketType::keyFrameRequest, {});
    m["video-frame-ack"] = packet(AuxPacketType::videoFrameAck, {});
    m["recording"] = packet(AuxPacketType::hostRecordingControl,
                            HostRecordingControlPayload{HostRecordingAction::start, 0, 0, 0.5, 0.5}.encode());
    const ClipboardTransfer text{"6F1C2D3E-0000-4000-8000-000000000001", 1, 0,
                                 {{ClipboardTransferItemKind::text, "hello", {}, {}, {}}}};
    m["clipboard-text"] = packet(AuxPacketType::clipboardTransfer, *text.encodedData());
    const ClipboardTransfer files{"6F1C2D3E-0000-4000-8000-000000000001", 2, 0,
                                  {{ClipboardTransferItemKind::files, {}, {}, {}, {{"a.txt", "public.plain-text", {'h', 'i'}}}}}};
    m["clipboard-files"] = packet(AuxPacketType::clipboardTransfer, *files.encodedData());
    m["file-listing"] = packet(AuxPacketType::fileTransferPacket,
                               FileTransferPacket{FileTransferOp::listDir, {}, 0, 0, "~/", {}}.encode());
    m["unused"] = packet(AuxPacketType::unused43, {1, 2, 3});
    return m;
}

// Each seed: its file name and its bytes (the target's first byte, then
// what is written to the connection).
std::map<std::string, Bytes> seeds() {
    std::map<std::string, Bytes> out;
    for (const auto& [channel, bit] : {std::pair{"audio", kAudio}, std::pair{"video", kVideo}}) {
        const std::string before = std::string(channel) + "-before-login-";
        out[before + "challenge"] = concat({{bit}, challenge()});
        out[before + "login"] = concat({{bit}, login()});
        out[before + "challenge-then-login"] = concat({{bit}, challenge(), login()});
        out[before + "three-challenges"] = concat({{bit}, challenge(), challenge(), challenge()});
        const std::string after = std::string(channel) + "-logged-in-";
        Bytes all{uint8_t(bit | kLoggedIn)};
        for (const auto& [name, bytes] : controlMessages()) {
            out[after + name] = concat({{uint8_t(bit | kLoggedIn)}, bytes});
            all.insert(all.end(), bytes.begin(), bytes.end());
        }
        out[after + "every-message"] = all;
        out[after + "challenge"] = concat({{uint8_t(bit | kLoggedIn)}, challenge()});
    }
    return out;
}

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FuzzSeedCorpus, TheServerTargetsSeedsAreWholePacketsTheEncodersMakeNow) {
    const fs::path folder = fs::path(NORVESSAL_SOURCE_DIR) / "fuzz" / "corpus" / "fuzz_aux_server";
    const auto all = seeds();
    if (std::getenv("NORVESSAL_WRITE_FUZZ_SEEDS")) {
        fs::remove_all(folder);
        fs::create_directories(folder);
        for (const auto& [name, bytes] : all) {
            std::ofstream out(folder / name, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        }
    }
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++files;
    EXPECT_EQ(files, all.size()) << "a seed no encoder makes any more";
    for (const auto& [name, bytes] : all) {
        SCOPED_TRACE(name);
        EXPECT_EQ(readFile(folder / name), bytes) << "written again with NORVESSAL_WRITE_FUZZ_SEEDS=1";
        // Whole packets, each with a valid header, and nothing after them.
        AuxPacketCutter cutter(AuxPacketCutter::postLoginPayloadLimit);
        cutter.append(std::span<const uint8_t>(bytes).subspan(1));
        size_t packets = 0;
        for (auto next = cutter.next(); next.status != AuxPacketCutter::Status::needMoreData; next = cutter.next()) {
            ASSERT_EQ(next.status, AuxPacketCutter::Status::packet);
            ++packets;
        }
        EXPECT_GE(packets, 1u);
        EXPECT_EQ(cutter.bufferedBytes(), 0u);
    }
}

}  // namespace
