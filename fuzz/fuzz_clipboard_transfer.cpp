// A Viewer's clipboard payload (aux type 27) through the transfer decoder.
// Whatever decodes must encode, and decode again to an equal value.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "VelantrixProfiles/Clipboard/ClipboardTransfer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto transfer = ClipboardTransfer::decode(std::span<const uint8_t>(data, size));
    if (!transfer.ok()) return 0;
    auto encoded = transfer->encodedData();
    // Only a text holding a NUL character is refused, and the decoder can
    // hand one over from a hostile document.
    if (!encoded.ok()) return 0;
    auto again = ClipboardTransfer::decode(*encoded);
    if (!again.ok() || !(*again == *transfer)) std::abort();
    return 0;
}
