// Feeds arbitrary bytes to the property-list reader. Whatever it accepts must
// encode to lists that read back and encode again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Platform/PropertyList.h"

using platform::PropertyList;

static void checkStable(std::vector<uint8_t> (*write)(const platform::PlistValue&),
                        const platform::PlistValue& value) {
    auto first = write(value);
    auto again = PropertyList::read(first);
    if (!again) std::abort();
    if (write(*again) != first) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto value = PropertyList::read(std::span<const uint8_t>(data, size));
    if (!value) return 0;
    checkStable(PropertyList::writeBinary, *value);
    checkStable(PropertyList::writeXML, *value);
    return 0;
}
