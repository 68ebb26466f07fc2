#include "Platform/Foundation/StringsTable.h"

namespace platform {

namespace {

class Parser {
public:
    explicit Parser(std::string_view text) : s_(text) {}

    std::optional<StringsTable::Entries> run(std::string* error) {
        StringsTable::Entries entries;
        // A UTF-8 byte-order mark is allowed at the very start.
        if (s_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
        while (skipSpaceAndComments()) {
            if (atEnd()) return entries;
            std::string key, value;
            if (!quoted(key) || !(skipSpaceAndComments() && take('=')) || !(skipSpaceAndComments() && quoted(value)) ||
                !(skipSpaceAndComments() && take(';')))
                break;
            entries.insert_or_assign(std::move(key), std::move(value));
        }
        if (error) *error = (problem_.empty() ? std::string("unexpected text") : problem_) + " at byte " + std::to_string(pos_);
        return std::nullopt;
    }

private:
    bool atEnd() const { return pos_ >= s_.size(); }
    bool take(char c) {
        if (atEnd() || s_[pos_] != c) return fail(std::string("expected '") + c + "'");
        ++pos_;
        return true;
    }
    bool fail(std::string why) {
        if (problem_.empty()) problem_ = std::move(why);
        return false;
    }

    // False only for an unterminated block comment.
    bool skipSpaceAndComments() {
        while (!atEnd()) {
            char c = s_[pos_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (s_.substr(pos_, 2) == "//") {
                size_t eol = s_.find('\n', pos_);
                pos_ = eol == std::string_view::npos ? s_.size() : eol + 1;
            } else if (s_.substr(pos_, 2) == "/*") {
                size_t close = s_.find("*/", pos_ + 2);
                if (close == std::string_view::npos) return fail("unterminated comment");
                pos_ = close + 2;
            } else {
                break;
            }
        }
        return true;
    }

    bool hex4(uint32_t& out) {
        if (pos_ + 4 > s_.size()) return fail("short \\u escape");
        out = 0;
        for (int i = 0; i < 4; ++i) {
            char c = s_[pos_++];
            uint32_t d;
            if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') d = static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') d = static_cast<uint32_t>(c - 'A' + 10);
            else return fail("bad \\u escape");
            out = out * 16 + d;
        }
        return true;
    }

    static void appendUtf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    // \uXXXX, with a surrogate pair standing for one character beyond the
    // basic plane; a lone surrogate is no character and is refused.
    bool unicodeEscape(std::string& out) {
        uint32_t cp;
        if (!hex4(cp)) return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("lone low surrogate");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low;
            if (s_.substr(pos_, 2) != "\\u" || (pos_ += 2, !hex4(low)) || low < 0xDC00 || low > 0xDFFF)
                return fail("unpaired high surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        appendUtf8(out, cp);
        return true;
    }

    bool quoted(std::string& out) {
        if (!take('"')) return false;
        while (!atEnd()) {
            char c = s_[pos_++];
            if (c == '"') return true;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (atEnd()) break;
            switch (s_[pos_++]) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case 'n': out.push_back('\n'); break;
                case 't': out.push_back('\t'); break;
                case 'u':
                    if (!unicodeEscape(out)) return false;
                    break;
                default: --pos_; return fail("unknown escape");
            }
        }
        return fail("unterminated string");
    }

    std::string_view s_;
    size_t pos_ = 0;
    std::string problem_;
};

}  // namespace

std::optional<StringsTable::Entries> StringsTable::parse(std::string_view text, std::string* error) {
    if (text.size() > maxBytes) {
        if (error) *error = "larger than " + std::to_string(maxBytes) + " bytes";
        return std::nullopt;
    }
    return Parser(text).run(error);
}

}  // namespace platform
