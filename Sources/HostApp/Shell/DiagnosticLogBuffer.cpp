#include "HostApp/Shell/DiagnosticLogBuffer.h"

#include "Platform/Runtime/Log.h"

DiagnosticLogBuffer::DiagnosticLogBuffer(int limit) : limit_(limit < 1 ? 1 : limit) {}

void DiagnosticLogBuffer::append(const std::string& text) {
    // The stamp is taken before the lock: entries from different threads
    // may carry stamps a little out of order, but the lock is held briefly.
    const platform::Date date = platform::Clock::now();
    std::string line = platform::Log::timestamp() + " " + text;
    std::lock_guard<std::mutex> g(lock_);
    entries_.push_back(Entry{date, std::move(line)});
    while (entries_.size() > static_cast<size_t>(limit_)) entries_.pop_front();
}

std::vector<DiagnosticLogBuffer::Entry> DiagnosticLogBuffer::entries() const {
    std::lock_guard<std::mutex> g(lock_);
    return {entries_.begin(), entries_.end()};
}
