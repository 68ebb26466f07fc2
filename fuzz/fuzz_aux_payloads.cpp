// The first byte picks an aux payload decoder, the rest is its payload. A
// payload that decodes must re-encode to bytes that decode again to the same
// bytes, and, where the codec keeps every value exactly, to an equal value.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "HostApp/Protocol/AudioControlPayloads.h"
#include "HostApp/Protocol/AuxPacket.h"
#include "HostApp/Protocol/DisplayControlPayloads.h"
#include "HostApp/Protocol/FileTransferEndpointPayload.h"
#include "HostApp/Protocol/InputControlPayloads.h"
#include "HostApp/Protocol/SessionPayloads.h"
#include "HostApp/Protocol/VideoControlPayloads.h"
#include "HostApp/Capture/CaptureModeControlPayload.h"

namespace {

enum class Exactness { equalValues, stableBytes };

template <class T>
void roundTrip(std::span<const uint8_t> payload, Exactness exactness) {
    auto first = T::decode(payload);
    if (!first) return;
    auto bytes = first->encode();
    auto second = T::decode(bytes);
    if (!second) std::abort();
    if (second->encode() != bytes) std::abort();
    if (exactness == Exactness::equalValues && !(*first == *second)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::span<const uint8_t> payload(data + 1, size - 1);
    constexpr auto exact = Exactness::equalValues;
    switch (data[0] % 22) {
        case 0: roundTrip<AudioControlPayload>(payload, exact); break;
        case 1: roundTrip<CaptureModeControlPayload>(payload, Exactness::stableBytes); break;
        case 2: roundTrip<VideoPreferenceControlPayload>(payload, exact); break;
        case 3: roundTrip<VideoStatsPayload>(payload, exact); break;
        case 4: roundTrip<DisplayLayoutPayload>(payload, exact); break;
        case 5: roundTrip<HostDisplayModeControlPayload>(payload, exact); break;
        case 6: roundTrip<PointerEventControlPayload>(payload, exact); break;
        case 7: roundTrip<GestureEventControlPayload>(payload, exact); break;
        case 8: roundTrip<HostShortcutControlPayload>(payload, exact); break;
        case 9: roundTrip<KeyEventControlPayload>(payload, exact); break;
        case 10: roundTrip<RawKeyEventControlPayload>(payload, exact); break;
        case 11: roundTrip<SystemDefinedKeyEventControlPayload>(payload, exact); break;
        case 12: roundTrip<HostPhysicalDisplayControlPayload>(payload, exact); break;
        case 13: roundTrip<HostSessionInfoPayload>(payload, exact); break;
        case 14: roundTrip<ViewerLoginPayload>(payload, exact); break;
        case 15: roundTrip<ViewerLoginCredentials>(payload, exact); break;
        case 16: roundTrip<FileTransferEndpointPayload>(payload, exact); break;
        case 17: roundTrip<DragPullRequestPayload>(payload, exact); break;
        case 18: roundTrip<HostIdentityChallengePayload>(payload, exact); break;
        case 19: roundTrip<HostIdentityProofPayload>(payload, exact); break;
        case 20: roundTrip<HostRecordingControlPayload>(payload, Exactness::stableBytes); break;
        case 21: roundTrip<HostRecordingStatePayload>(payload, exact); break;
    }
    // Whatever the bytes, the header decoder must not misbehave either.
    if (auto h = AuxPacketHeader::decode(payload)) {
        auto again = h->encode();
        if (!std::equal(again.begin(), again.end(), payload.begin())) std::abort();
    }
    return 0;
}
