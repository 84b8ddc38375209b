#include "output_parsers.h"

#include <cctype>
#include <cstdint>
#include <stdexcept>

namespace qordstest {
namespace {

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A JSON reader over the subset qords writes (objects, arrays, strings, numbers, null).
class JsonReader {
public:
    explicit JsonReader(const std::string &text) : text_(text) {}

    std::vector<ParsedEntry> entries() {
        std::vector<ParsedEntry> result;
        expect('[');
        if (peek() == ']') {
            ++at_;
        } else {
            do {
                result.push_back(entry());
            } while (take(','));
            expect(']');
        }
        skip_blanks();
        if (at_ != text_.size()) fail("text after the array");
        return result;
    }

private:
    ParsedEntry entry() {
        ParsedEntry parsed;
        expect('{');
        if (string() != "dn") fail("\"dn\" must come first");
        expect(':');
        parsed.dn = string();
        expect(',');
        if (string() != "attributes") fail("\"attributes\" must follow");
        expect(':');
        expect('{');
        if (!take('}')) {
            do {
                const std::string name = string();
                expect(':');
                expect('[');
                if (!take(']')) {
                    do {
                        parsed.values.emplace_back(name, value());
                    } while (take(','));
                    expect(']');
                }
            } while (take(','));
            expect('}');
        }
        expect('}');
        return parsed;
    }

    std::string value() {
        const char c = peek();
        if (c == '"') return string();
        if (c == '{') {
            ++at_;
            if (string() != "base64") fail("only {\"base64\": ...} objects are values");
            expect(':');
            std::string bytes = decode_base64(string());
            expect('}');
            return bytes;
        }
        if (text_.compare(at_, 4, "null") == 0) {
            at_ += 4;
            return "null";
        }
        const size_t start = at_;
        while (at_ < text_.size() && (std::isdigit(static_cast<unsigned char>(text_[at_])) ||
                                      std::string_view("+-.eE").find(text_[at_]) != std::string_view::npos))
            ++at_;
        if (start == at_) fail("a value expected");
        return text_.substr(start, at_ - start);
    }

    std::string string() {
        expect('"');
        std::string out;
        for (;;) {
            if (at_ >= text_.size()) fail("unterminated string");
            const char c = text_[at_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) fail("raw control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            const char e = text_.at(at_++);
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    const unsigned code = static_cast<unsigned>(std::stoul(text_.substr(at_, 4), nullptr, 16));
                    at_ += 4;
                    if (code >= 0x80) fail("qords escapes only control characters");
                    out += static_cast<char>(code);
                    break;
                }
                default: fail("bad escape");
            }
        }
    }

    void skip_blanks() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    }
    char peek() {
        skip_blanks();
        return at_ < text_.size() ? text_[at_] : '\0';
    }
    bool take(char c) {
        if (peek() != c) return false;
        ++at_;
        return true;
    }
    void expect(char c) {
        if (!take(c)) fail(std::string("'") + c + "' expected");
    }
    [[noreturn]] void fail(const std::string &what) {
        throw std::runtime_error("JSON at offset " + std::to_string(at_) + ": " + what);
    }

    const std::string &text_;
    size_t at_ = 0;
};

}  // namespace

std::vector<std::string> ParsedEntry::get(const std::string &attribute) const {
    std::vector<std::string> out;
    for (const auto &[name, value] : values)
        if (lower(name) == lower(attribute)) out.push_back(value);
    return out;
}

std::string decode_base64(const std::string &text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0) throw std::runtime_error("Base64 length " + std::to_string(text.size()));
    std::string out;
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t group = 0;
        int pad = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            size_t v = 0;
            if (c == '=') {
                ++pad;
            } else if (pad > 0 || (v = alphabet.find(c)) == std::string::npos) {
                throw std::runtime_error("invalid Base64: " + text);
            }
            group = group << 6 | static_cast<uint32_t>(c == '=' ? 0 : v);
        }
        if (pad > 0 && i + 4 != text.size()) throw std::runtime_error("padding inside Base64: " + text);
        out += static_cast<char>(group >> 16);
        if (pad < 2) out += static_cast<char>((group >> 8) & 0xff);
        if (pad < 1) out += static_cast<char>(group & 0xff);
    }
    return out;
}

std::vector<ParsedEntry> parse_ldif(const std::string &text) {
    // Physical lines; folded ones joined.
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) throw std::runtime_error("LDIF does not end with a line break");
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.size() > 76) throw std::runtime_error("LDIF line longer than 76 characters: " + line);
        if (!line.empty() && line[0] == ' ') {
            if (lines.empty() || lines.back().empty()) throw std::runtime_error("continuation without a line");
            lines.back() += line.substr(1);
        } else {
            lines.push_back(line);
        }
    }
    if (!lines.empty() && !lines.back().empty()) throw std::runtime_error("the last LDIF record does not end with an empty line");
    std::vector<ParsedEntry> entries;
    bool in_record = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string &line = lines[i];
        if (line.empty()) {
            in_record = false;
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string::npos) throw std::runtime_error("LDIF line without ':': " + line);
        const std::string name = line.substr(0, colon);
        std::string value;
        if (line.compare(colon, 2, "::") == 0) {
            value = decode_base64(line.substr(line.find_first_not_of(' ', colon + 2) == std::string::npos
                                                  ? line.size()
                                                  : line.find_first_not_of(' ', colon + 2)));
        } else {
            value = line.substr(colon + 1);
            if (!value.empty()) {
                if (value[0] != ' ') throw std::runtime_error("no blank after ':' in " + line);
                value = value.substr(1);
                if (!value.empty() && (value[0] == ' ' || value[0] == ':' || value[0] == '<'))
                    throw std::runtime_error("unsafe initial character written plain: " + line);
                for (char c : value)
                    if (static_cast<unsigned char>(c) > 127) throw std::runtime_error("non-ASCII written plain: " + line);
            }
        }
        if (lower(name) == "version") {
            if (i != 0 || line != "version: 1") throw std::runtime_error("a version line that does not start the file");
            continue;
        }
        if (!in_record) {
            if (lower(name) != "dn") throw std::runtime_error("record does not start with dn: " + line);
            entries.push_back(ParsedEntry{value, {}});
            in_record = true;
            continue;
        }
        entries.back().values.emplace_back(name, value);
    }
    return entries;
}

std::vector<ParsedEntry> parse_json(const std::string &text) { return JsonReader(text).entries(); }

}  // namespace qordstest
