#pragma once
// Whether the keyboard input source in use types Chinese, Japanese or
// Korean. With such a source, punctuation typed as text would land in the
// input method's composition, so the key path presses the key instead.
//
// The cached answer is written by whoever observes input-source changes and
// read by key injection on the server queue, always under `lock`, which is
// held only for the single read or write.

#include <mutex>

struct HostInputSourceKind {
    HostInputSourceKind() = delete;

    static inline std::mutex lock;
    static inline bool cachedCJKInputMethod = false;

    // True when one of the current source's languages begins with "zh",
    // "ja" or "ko" (case-insensitive); false without a source or a list of
    // languages.
    static bool probeCurrentInputSource();
    // Runs the probe and caches its answer.
    static void refreshCachedCJKInputMethod();
    static void storeCachedCJKInputMethod(bool value);
    static bool readCachedCJKInputMethod();
};
