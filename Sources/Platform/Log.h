#pragma once
// The one logging helper. Timestamped lines read
// "[NorvessalHost HH:MM:SS.mmm] text" (local time); tagged lines are written
// as given ("[opus-encoder] ..."). Both go to standard error, or to a sink
// that tests install to capture them.

#include <functional>
#include <string>
#include <vector>

namespace platform {

struct Log {
    // "HH:MM:SS.mmm" of the runtime's wall clock, local time.
    static std::string timestamp();
    // Writes "[NorvessalHost <timestamp>] text".
    static void line(const std::string& text);
    // Writes a bare line exactly as given (the caller includes its tag).
    static void raw(const std::string& text);

    using Sink = std::function<void(const std::string& line)>;
    // Installs a sink that receives every full line instead of stderr; an
    // empty sink restores stderr. Tests use LogCapture (Tests/Support).
    static void setSinkForTesting(Sink sink);
};

}  // namespace platform
