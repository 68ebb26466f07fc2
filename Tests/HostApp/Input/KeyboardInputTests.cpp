// Keysyms become the US layout's key codes or typed text, modifiers are
// kept for the whole Host, raw keys pass unchanged, and the input source
// decides how punctuation is typed.

#include "InputTestSupport.h"

#include "Platform/SimulatedMac/TextInputSources.h"

using namespace platform;

namespace {

struct Key { uint32_t keysym; bool down; };
struct Posted { uint16_t code; bool down; uint64_t flags; std::u16string text; };
struct KeyCase { const char* name; bool cjk; std::vector<Key> keys; std::vector<Posted> expected; };

constexpr uint64_t kShift = 0x20000, kCommand = 0x100000;

using KeyInjection = InputTest;

TEST_F(KeyInjection, KeysymsBecomeKeyCodesOrText) {
    const KeyCase cases[] = {
        {"Shift+a", false, {{0xFFE1, true}, {0x61, true}, {0x61, false}, {0xFFE1, false}},
         {{56, true, kShift, u""}, {0, true, kShift, u""}, {0, false, kShift, u""}, {56, false, 0, u""}}},
        {"capital A shifts by itself", false, {{0x41, true}, {0x41, false}},
         {{0, true, kShift, u""}, {0, false, kShift, u""}}},
        {"= with a Latin source is typed", false, {{0x3D, true}, {0x3D, false}}, {{0, true, 0, u"="}}},
        {"= with a CJK source is pressed", true, {{0x3D, true}, {0x3D, false}},
         {{24, true, 0, u""}, {24, false, 0, u""}}},
        {"Command+= is pressed", false, {{0xFFE7, true}, {0x3D, true}, {0x3D, false}},
         {{55, true, kCommand, u""}, {24, true, kCommand, u""}, {24, false, kCommand, u""}}},
        {"Caps_Lock is a character", false, {{0xFFE5, true}}, {{0, true, 0, u"\uFFE5"}}},
        {"Unicode keysym", false, {{0x010000E9, true}, {0x010000E9, false}}, {{0, true, 0, u"\u00E9"}}},
        {"Begin key has no code", false, {{0xF72A, true}}, {{0, true, 0, u"\uF72A"}}},
        {"astral character", false, {{0x0101F600, true}}, {{0, true, 0, u"\U0001F600"}}},
        {"text carries held modifiers", false, {{0xFFE9, true}, {0x010000E9, true}},
         {{58, true, 0x80000, u""}, {0, true, 0x80000, u"\u00E9"}}},
        {"function keys", false, {{0xFFBE, true}, {0xFF0D, false}, {0xF72D, true}},
         {{122, true, 0, u""}, {36, false, 0, u""}, {121, true, 0, u""}}},
        {"space is a key", false, {{0x20, true}}, {{49, true, 0, u""}}},
        {"up of a modifier not held", false, {{0xFFE4, false}}, {{59, false, 0, u""}}},
        {"Latin-1 keysym is unsupported", false, {{0xE9, true}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tap().clear();
        onQueue([&] { server->remoteInput.inputKeyboardFlags = 0; });
        HostInputSourceKind::storeCachedCJKInputMethod(c.cjk);
        for (const auto& k : c.keys) key(k.keysym, k.down);
        auto posted = tap().keyboardEvents();
        ASSERT_EQ(posted.size(), c.expected.size());
        for (size_t i = 0; i < posted.size(); ++i) {
            EXPECT_EQ(posted[i].keyCode, c.expected[i].code) << i;
            EXPECT_EQ(posted[i].keyDown, c.expected[i].down) << i;
            EXPECT_EQ(posted[i].flags, c.expected[i].flags) << i;
            EXPECT_EQ(posted[i].text, c.expected[i].text) << i;
        }
    }
    EXPECT_EQ(log->count("input: unsupported keysym 0xE9"), 1u);
}

TEST_F(KeyInjection, RawKeysCarryExactlyTheirOwnFlags) {
    key(0xFFE1, true);
    raw(12, kCommand, true);
    raw(12, kCommand, false);
    auto posted = tap().keyboardEvents();
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[1].flags, kCommand);
    EXPECT_EQ(posted[2].flags, kCommand);
    onQueue([&] { EXPECT_EQ(server->remoteInput.inputKeyboardFlags, kShift); });
}

TEST_F(KeyInjection, HeldModifiersAreReleasedControlFirst) {
    key(0xFFE8, true);  // Command
    key(0xFFE3, true);  // Control
    tap().clear();
    onQueue([&] { server->releaseHeldKeyboardModifiers("session disconnected"); });
    auto posted = tap().keyboardEvents();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].keyCode, 59);
    EXPECT_EQ(posted[1].keyCode, 55);
    for (const auto& e : posted) EXPECT_EQ(e.flags, 0u);
    EXPECT_TRUE(logContains("input: released 2 held modifier(s) after session disconnected"));
    onQueue([&] { server->releaseHeldKeyboardModifiers("again"); });
    EXPECT_EQ(tap().keyboardEvents().size(), 2u) << "nothing is held any more";
    EXPECT_FALSE(logContains("after again"));
}

TEST_F(KeyInjection, TypedKeysNeverReachTheLog) {
    for (uint32_t k : {0x70u, 0x41u, 0x24u, 0x010000E9u, 0xFFE1u}) {
        key(k, true);
        key(k, false);
    }
    raw(35, 0, true);
    EXPECT_EQ(tap().keyboardEvents().size(), 9u);
    for (const auto& line : logLines()) {
        EXPECT_EQ(line.find("input"), std::string::npos) << line;
        EXPECT_EQ(line.find("35"), std::string::npos) << line;  // p's key code
    }
}

// --- The input-source probe ----------------------------------------------------------------

TEST_F(KeyInjection, ProbeFindsChineseJapaneseOrKoreanLanguages) {
    using A = PlistValue::Array;
    const struct { const char* name; std::optional<TISInputSource> source; bool cjk; } cases[] = {
        {"English and capitalised Chinese", TISInputSource{"pinyin", PlistValue(A{"en", "ZH-Hans"})}, true},
        {"Korean", TISInputSource{"2set", PlistValue(A{"ko-KR"})}, true},
        {"English only", TISInputSource{"us", PlistValue(A{"en"})}, false},
        {"no source", std::nullopt, false},
        {"no languages", TISInputSource{"x", std::nullopt}, false},
        {"languages not a list", TISInputSource{"x", PlistValue("ja")}, false},
        {"empty list", TISInputSource{"x", PlistValue(A{})}, false},
        {"a non-string entry", TISInputSource{"x", PlistValue(A{int64_t{1}, "ja"})}, false},
    };
    for (const auto& c : cases) {
        SimulatedMachine::current().component<SimulatedInputSources>().setCurrent(c.source);
        EXPECT_EQ(HostInputSourceKind::probeCurrentInputSource(), c.cjk) << c.name;
        HostInputSourceKind::refreshCachedCJKInputMethod();
        EXPECT_EQ(HostInputSourceKind::readCachedCJKInputMethod(), c.cjk) << c.name;
    }
}

}  // namespace
