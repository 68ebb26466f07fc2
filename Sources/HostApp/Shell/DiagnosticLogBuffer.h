#pragma once
// The Host's in-memory diagnostics log: the newest one-line events of the
// application shell, file delivery and updates, each stamped with the local
// time of day. The application delegate owns the one instance; any thread
// may append.

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/Runtime/Clock.h"

class DiagnosticLogBuffer {
public:
    struct Entry {
        // When the entry was stored.
        platform::Date date;
        // "HH:mm:ss.SSS " followed by the appended text.
        std::string text;
    };

    explicit DiagnosticLogBuffer(int limit = 400);

    // Stores one entry, dropping the oldest beyond the limit. Any thread.
    void append(const std::string& text);
    // A copy of the entries, oldest first.
    std::vector<Entry> entries() const;

private:
    // Guards entries_.
    mutable std::mutex lock_;
    // The most entries kept.
    const int limit_;
    std::deque<Entry> entries_;
};

// A flag as the log lines write it: "true" or "false".
inline const char* logFlagText(bool value) { return value ? "true" : "false"; }
