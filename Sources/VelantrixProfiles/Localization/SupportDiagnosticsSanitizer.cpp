#include "VelantrixProfiles/Localization/SupportDiagnosticsSanitizer.h"

#include <array>
#include <vector>

#include "Platform/Runtime/Log.h"
#include "Platform/Foundation/RegularExpression.h"
#include "Platform/Foundation/UnicodeText.h"

namespace {

constexpr auto kInternalDetailKeywords = std::to_array<std::string_view>({
    "codec", "chroma", "bitrate", "keyframe", "encoder", "encode", "decode", "hevc", "h264", "yuv420", "yuv444",
    "vps=", "sps=", "pps=", "profilelevel", "expectedframerate", "dataratelimits", "video config", "capture mode",
    "capture request", "capture profile", "aux video", "pixel buffer", "drawable", "metal", "texture",
    "framebuffer", "viewport roi", "pip region", "pip pointer", "canvas:", "session auth", "session authorization",
    "identity", "nonce", "challenge", "proof", "media branch", "aux control", "video session", "audio session",
    "host identity", "signed credential", "route probe", "probe", "bonjour", "discovery", "resolver", "mdns",
    "txt record", "advertis", "route kind", "interface", "transport scheme", "wifi transport", "route refresh",
    "viewerhostsession", "congestion", "outstanding", "ack window", "inflight", "rate control", "encodeblocked",
    "congestion window", "launch args", "build marker", "self-test", "self test", "first-frame", "frame diagnostic",
    "video stats", "host video stats", "lastframe", "frame ack", "drag pull", "peer send", "routing token",
    "batchid", "batch id", "managedcopy", "direct save", "incoming file"});

struct Rule {
    const char* pattern;
    const char* replacement;
};

// Applied in this order: each sees what the ones before it left, so a MAC
// address is "[mac]" before the IPv6 rule could read it as an address.
// Paths under the Linux home folders count like those under /Users/.
constexpr std::array<Rule, 8> kRules{{
    {R"(\b\d{1,3}(?:\.\d{1,3}){3}\b)", "[ip]"},
    {R"(\b(?:[0-9a-fA-F]{2}:){5}[0-9a-fA-F]{2}\b)", "[mac]"},
    {R"(\bfe80::[0-9a-fA-F:.%]+)", "[ip6]"},
    {R"(\b(?:[0-9a-fA-F]{1,4}:){2,}[0-9a-fA-F:]*)", "[ip6]"},
    {R"(\b[\w-]+\.local\b)", "[host]"},
    {R"(\b[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}\b)", "[uuid]"},
    {R"(\bR\d{8}-\d{4}\b)", "[build]"},
    {R"((?:/Users/|/home/|/root/|/Applications/|/Library/|/private/var/|/Volumes/|/System/)[^\s,;\"']*)", "[path]"},
}};

struct CompiledRule {
    platform::RegularExpression expression;
    std::string replacement;
};

const std::vector<CompiledRule>& compiledRules() {
    static const std::vector<CompiledRule> rules = [] {
        std::vector<CompiledRule> out;
        for (const Rule& r : kRules) {
            auto expression = platform::RegularExpression::make(r.pattern);
            // The patterns are constants: one that does not compile is a
            // programming error found by the first test run.
            if (!expression.ok()) {
                platform::Log::line(std::string("support: redaction rule does not compile: ") + expression.error());
                std::abort();
            }
            out.push_back({std::move(*expression), r.replacement});
        }
        return out;
    }();
    return rules;
}

}  // namespace

std::string SupportDiagnosticsSanitizer::redact(std::string_view text) {
    std::string out(text);
    for (const CompiledRule& rule : compiledRules()) {
        auto replaced = rule.expression.replacingMatches(out, rule.replacement);
        if (!replaced.ok()) return "[redacted]";
        out = std::move(*replaced);
    }
    return out;
}

bool SupportDiagnosticsSanitizer::isInternalDetail(std::string_view line) {
    const std::string lower = platform::UnicodeText::lowercased(line);
    for (std::string_view keyword : kInternalDetailKeywords)
        if (lower.find(keyword) != std::string::npos) return true;
    return false;
}

std::optional<std::string> SupportDiagnosticsSanitizer::sanitizedLogLine(std::string_view line) {
    std::string_view trimmed = platform::UnicodeText::trimmingWhitespace(line);
    if (trimmed.empty() || isInternalDetail(trimmed)) return std::nullopt;
    return redact(trimmed);
}

std::string SupportDiagnosticsSanitizer::sanitizedLog(std::string_view log) {
    std::string out;
    size_t start = 0;
    while (start <= log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string_view::npos) end = log.size();
        if (auto kept = sanitizedLogLine(log.substr(start, end - start))) {
            if (!out.empty()) out.push_back('\n');
            out += *kept;
        }
        start = end + 1;
    }
    return out;
}
