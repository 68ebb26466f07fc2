#pragma once
// Makes a diagnostics log fit to leave the user's machine in an error
// report: drops the lines that carry internal engineering detail (codec
// parameters, session and identity exchanges, routing, flow control,
// transfer internals) and, in the lines that remain, replaces addresses,
// host names, identifiers, build stamps and file-system paths by fixed
// placeholders. Stateless; safe from any thread.

#include <optional>
#include <string>
#include <string_view>

struct SupportDiagnosticsSanitizer {
    SupportDiagnosticsSanitizer() = delete;

    // The text with every redaction rule applied in order. Should a rule be
    // unable to finish on hostile input, the whole text becomes
    // "[redacted]": an unredacted remainder must never slip through.
    static std::string redact(std::string_view text);
    // True when the lower-cased line holds any internal-detail keyword.
    static bool isInternalDetail(std::string_view line);
    // Nothing for a blank or internal line, else the trimmed line redacted.
    static std::optional<std::string> sanitizedLogLine(std::string_view line);
    // The kept lines of a whole log, joined by line feeds.
    static std::string sanitizedLog(std::string_view log);
};
