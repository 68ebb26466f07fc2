#pragma once
// Reading hexadecimal text, as the UUID parser and the decoding of a file
// URL's escapes both do.

namespace platform {

// The value of one hexadecimal digit of either case; -1 for any other
// character.
inline int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace platform
