// Feeds arbitrary bytes to the property-list reader. Whatever it accepts must
// survive being written and read again: after one round trip through either
// encoding, a further round trip changes nothing.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Platform/Foundation/PropertyList.h"

using platform::PlistValue;
using platform::PropertyList;

namespace {

// Equality in which NaN equals NaN.
bool same(const PlistValue& a, const PlistValue& b) {
    if (auto x = a.asReal()) {
        auto y = b.asReal();
        return y && (*x == *y || (std::isnan(*x) && std::isnan(*y)));
    }
    if (auto x = a.asArray()) {
        auto y = b.asArray();
        if (!y || x->size() != y->size()) return false;
        for (size_t i = 0; i < x->size(); ++i)
            if (!same((*x)[i], (*y)[i])) return false;
        return true;
    }
    if (auto x = a.asDictionary()) {
        auto y = b.asDictionary();
        if (!y || x->size() != y->size()) return false;
        for (auto i = x->begin(), j = y->begin(); i != x->end(); ++i, ++j)
            if (i->first != j->first || !same(i->second, j->second)) return false;
        return true;
    }
    return a == b;
}

PlistValue roundTrip(std::vector<uint8_t> (*write)(const PlistValue&), const PlistValue& value) {
    auto back = PropertyList::read(write(value));
    if (!back) std::abort();
    return *back;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto value = PropertyList::read(std::span<const uint8_t>(data, size));
    if (!value) return 0;
    for (auto write : {PropertyList::writeBinary, PropertyList::writeXML}) {
        PlistValue once = roundTrip(write, *value);
        if (!same(roundTrip(write, once), once)) std::abort();
    }
    return 0;
}
