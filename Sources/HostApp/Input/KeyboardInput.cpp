// A Viewer's keys: key events (type 30) name a key by X11 keysym or Unicode
// scalar and are mapped onto the US layout's key codes or typed as text;
// raw key events (type 32) carry a Mac key code and flags and are posted as
// sent. Nothing here logs a key that was typed: it may be a password.

#include <cstdio>

#include "HostApp/AuxServer/V230HostAudioAuxServer.h"
#include "HostApp/Input/HostInputSourceKind.h"

using platform::kCGEventFlagMaskAlternate;
using platform::kCGEventFlagMaskCommand;
using platform::kCGEventFlagMaskControl;
using platform::kCGEventFlagMaskShift;

namespace {

// Function and navigation keysyms (X11 and AppKit's private-use characters).
constexpr struct {
    uint32_t keysym;
    uint16_t keyCode;
} kFunctionKeys[] = {
    {0xFF08, 51},  {0xFF09, 48},  {0xFF0D, 36},  {0xFF1B, 53},  {0xFF50, 115}, {0xFF51, 123}, {0xFF52, 126},
    {0xFF53, 124}, {0xFF54, 125}, {0xFF55, 116}, {0xFF56, 121}, {0xFF57, 119}, {0xFFFF, 117}, {0xFFBE, 122},
    {0xFFBF, 120}, {0xFFC0, 99},  {0xFFC1, 118}, {0xFFC2, 96},  {0xFFC3, 97},  {0xFFC4, 98},  {0xFFC5, 100},
    {0xFFC6, 101}, {0xFFC7, 109}, {0xFFC8, 103}, {0xFFC9, 111}, {0xF729, 115}, {0xF72B, 119}, {0xF72C, 116},
    {0xF72D, 121},
};

// The printable ASCII characters on the US ANSI layout: key code, the
// character without and with Shift (0: the key has no shifted character
// here).
constexpr struct {
    uint16_t keyCode;
    char plain;
    char shifted;
} kAsciiKeys[] = {
    {0, 'a', 'A'},   {1, 's', 'S'},  {2, 'd', 'D'},   {3, 'f', 'F'},  {4, 'h', 'H'},  {5, 'g', 'G'},  {6, 'z', 'Z'},
    {7, 'x', 'X'},   {8, 'c', 'C'},  {9, 'v', 'V'},   {11, 'b', 'B'}, {12, 'q', 'Q'}, {13, 'w', 'W'}, {14, 'e', 'E'},
    {15, 'r', 'R'},  {16, 'y', 'Y'}, {17, 't', 'T'},  {18, '1', '!'}, {19, '2', '@'}, {20, '3', '#'}, {21, '4', '$'},
    {22, '6', '^'},  {23, '5', '%'}, {24, '=', '+'},  {25, '9', '('}, {26, '7', '&'}, {27, '-', '_'}, {28, '8', '*'},
    {29, '0', ')'},  {30, ']', '}'}, {31, 'o', 'O'},  {32, 'u', 'U'}, {33, '[', '{'}, {34, 'i', 'I'}, {35, 'p', 'P'},
    {37, 'l', 'L'},  {38, 'j', 'J'}, {39, '\'', '"'}, {40, 'k', 'K'}, {41, ';', ':'}, {42, '\\', '|'},
    {43, ',', '<'},  {44, '/', '?'}, {45, 'n', 'N'},  {46, 'm', 'M'}, {47, '.', '>'}, {49, ' ', 0},  {50, '`', '~'},
};

// Modifiers lifted when a Viewer leaves, in this order.
constexpr ModifierKey kReleaseOrder[] = {
    {59, kCGEventFlagMaskControl}, {56, kCGEventFlagMaskShift}, {58, kCGEventFlagMaskAlternate},
    {55, kCGEventFlagMaskCommand}};

bool isUnicodeScalar(uint32_t v) { return v < 0x110000 && (v < 0xD800 || v > 0xDFFF); }

std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// UTF-16 of UTF-8 text; a malformed sequence becomes U+FFFD.
std::u16string utf16(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        char32_t c = 0xFFFD;
        size_t used = 1;
        if (len == 1) {
            c = b;
        } else if (len > 1 && i + len <= text.size()) {
            char32_t v = b & (0x7F >> len);
            bool ok = true;
            for (size_t k = 1; k < len && ok; ++k) {
                const auto cont = static_cast<unsigned char>(text[i + k]);
                ok = (cont & 0xC0) == 0x80;
                v = (v << 6) | (cont & 0x3F);
            }
            if (ok && isUnicodeScalar(v)) {
                c = v;
                used = len;
            }
        }
        i += used;
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

}  // namespace

// --- Keysym tables ---------------------------------------------------------------------

std::optional<ModifierKey> V230HostAudioAuxServer::modifierKey(uint32_t keysym) {
    switch (keysym) {
        case 0xFFE1: case 0xFFE2: return ModifierKey{56, kCGEventFlagMaskShift};
        case 0xFFE3: case 0xFFE4: return ModifierKey{59, kCGEventFlagMaskControl};
        case 0xFFE7: case 0xFFE8: return ModifierKey{55, kCGEventFlagMaskCommand};
        case 0xFFE9: case 0xFFEA: return ModifierKey{58, kCGEventFlagMaskAlternate};
        default: return std::nullopt;  // Caps_Lock and Shift_Lock are no modifiers here
    }
}

std::optional<std::string> V230HostAudioAuxServer::exactPrintableASCIIPunctuation(uint32_t keysym) {
    if (keysym < 0x21 || keysym > 0x7E) return std::nullopt;
    const char c = static_cast<char>(keysym);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return std::nullopt;
    return std::string(1, c);
}

std::optional<KeyCodeMapping> V230HostAudioAuxServer::keyCode(uint32_t keysym) {
    for (const auto& f : kFunctionKeys)
        if (f.keysym == keysym) return KeyCodeMapping{f.keyCode, 0};
    if (!isUnicodeScalar(keysym)) return std::nullopt;
    return asciiKeyCode(static_cast<char32_t>(keysym));
}

std::optional<KeyCodeMapping> V230HostAudioAuxServer::asciiKeyCode(char32_t character) {
    if (character == 0 || character > 0x7E) return std::nullopt;
    for (const auto& k : kAsciiKeys) {
        if (static_cast<char32_t>(k.plain) == character) return KeyCodeMapping{k.keyCode, 0};
        if (k.shifted != 0 && static_cast<char32_t>(k.shifted) == character)
            return KeyCodeMapping{k.keyCode, kCGEventFlagMaskShift};
    }
    return std::nullopt;
}

std::optional<std::string> V230HostAudioAuxServer::unicodeText(uint32_t keysym) {
    uint32_t scalar = keysym;
    if ((keysym >> 24) == 0x01) {
        scalar = keysym & 0x00FFFFFF;
    } else if (keysym < 256) {
        return std::nullopt;  // Latin-1 keysyms have their own meaning
    }
    if (scalar < 0x20 || !isUnicodeScalar(scalar)) return std::nullopt;
    return utf8(static_cast<char32_t>(scalar));
}

// --- Handlers ---------------------------------------------------------------------------

void V230HostAudioAuxServer::applyKeyEvent(const KeyEventControlPayload& event, const platform::UUID& sourceID) {
    queue.dispatchPrecondition();
    if (!ensureInputTrust()) return;
    wakeHostForRemoteInputIfLocked();
    uint64_t& flags = remoteInput.inputKeyboardFlags;
    auto press = [&](uint16_t code, uint64_t withFlags) {
        if (postKeyboardEvent(code, event.down, withFlags) && event.down)
            remoteInput.heldKeyCodes[sourceID].insert(code);
    };

    if (auto modifier = modifierKey(event.keysym)) {
        if (event.down) {
            flags |= modifier->flag;
        } else {
            flags &= ~modifier->flag;
        }
        return press(modifier->keyCode, flags);
    }
    if (auto text = exactPrintableASCIIPunctuation(event.keysym);
        text && !(flags & (kCGEventFlagMaskControl | kCGEventFlagMaskCommand))) {
        // An input method would compose typed punctuation; a pressed key
        // reaches it as the key the user meant.
        if (HostInputSourceKind::readCachedCJKInputMethod()) {
            if (auto key = asciiKeyCode(static_cast<char32_t>((*text)[0])))
                return press(key->keyCode, flags | key->extraFlags);
        }
        if (event.down) postUnicodeText(*text, 0);
        return;
    }
    if (auto key = keyCode(event.keysym)) return press(key->keyCode, flags | key->extraFlags);
    if (auto text = unicodeText(event.keysym)) {
        if (event.down) postUnicodeText(*text, flags);
        return;
    }
    char line[64];
    std::snprintf(line, sizeof line, "input: unsupported keysym 0x%X", static_cast<unsigned>(event.keysym));
    publish(line);
}

void V230HostAudioAuxServer::applyRawKeyEvent(const RawKeyEventControlPayload& event,
                                              const platform::UUID& sourceID) {
    queue.dispatchPrecondition();
    if (!ensureInputTrust()) return;
    if (postKeyboardEvent(event.keyCode, event.down, event.flags) && event.down)
        remoteInput.heldKeyCodes[sourceID].insert(event.keyCode);
}

// --- Posting ------------------------------------------------------------------------------

bool V230HostAudioAuxServer::postKeyboardEvent(uint16_t code, bool keyDown, uint64_t flags) {
    auto event = platform::CGEventCreateKeyboardEvent(remoteInput.inputEventSource, code, keyDown);
    if (!event) return false;
    platform::CGEventSetFlags(event, flags);
    platform::CGEventPost(platform::CGEventTapLocation::hid, event);
    if (!keyDown) {
        // The key is up on the Host, whoever held it.
        for (auto& [session, codes] : remoteInput.heldKeyCodes) codes.erase(code);
    }
    return true;
}

void V230HostAudioAuxServer::postUnicodeText(const std::string& text, uint64_t flags) {
    const std::u16string units = utf16(text);
    if (units.empty()) return;
    auto event = platform::CGEventCreateKeyboardEvent(remoteInput.inputEventSource, 0, true);
    if (!event) return;
    platform::CGEventSetFlags(event, flags);
    platform::CGEventKeyboardSetUnicodeString(event, units);
    platform::CGEventPost(platform::CGEventTapLocation::hid, event);
}

void V230HostAudioAuxServer::releaseHeldKeyboardModifiers(const std::string& reason) {
    queue.dispatchPrecondition();
    std::vector<uint16_t> held;
    for (const auto& m : kReleaseOrder)
        if (remoteInput.inputKeyboardFlags & m.flag) held.push_back(m.keyCode);
    if (held.empty()) return;
    remoteInput.inputKeyboardFlags = 0;
    for (uint16_t code : held) postKeyboardEvent(code, false, 0);
    publish("input: released " + std::to_string(held.size()) + " held modifier(s) after " + reason);
}
