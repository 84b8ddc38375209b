// The string filter rules read plainly.
#include "fuzz/support/filter_reference.h"

namespace qorfuzz {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kMaxNesting = 64;

Bytes element(std::uint8_t tag, const Bytes &contents) {
    Bytes out{tag};
    Bytes length;
    for (size_t n = contents.size(); n != 0 || length.empty(); n >>= 8) length.insert(length.begin(), n & 0xFF);
    if (contents.size() >= 0x80) out.push_back(static_cast<std::uint8_t>(0x80 | length.size()));
    out.insert(out.end(), length.begin(), length.end());
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

Bytes string_element(std::uint8_t tag, const std::string &text) { return element(tag, Bytes(text.begin(), text.end())); }

void append(Bytes &to, const Bytes &more) { to.insert(to.end(), more.begin(), more.end()); }

class Encoder {
public:
    explicit Encoder(bool (*is_space)(unsigned char)) : is_space_(is_space) {}

    // A text of blanks, parenthesised filters and at most one bare item at its end.
    bool filter(const std::string &text, Bytes &out) {
        size_t at = 0;
        while (at < text.size()) {
            const char c = text[at];
            if (c == ' ') {
                ++at;
            } else if (c == '(') {
                ++at;
                const char op = at < text.size() ? text[at] : '\0';
                if (op == '&' || op == '|' || op == '!') {
                    const std::uint8_t tag = op == '&' ? 0xA0 : op == '|' ? 0xA1 : 0xA2;
                    const long close = right_paren(text, at + 1);
                    if (close < 0 || nesting_ >= kMaxNesting) return false;
                    Bytes inner;
                    ++nesting_;
                    const bool listed = list(text.substr(at + 1, static_cast<size_t>(close) - at - 1), inner);
                    --nesting_;
                    if (!listed) return false;
                    append(out, element(tag, inner));
                    at = static_cast<size_t>(close) + 1;
                } else {
                    // A simple item up to the ")" that balances the "(".
                    int balance = 1;
                    bool escaped = false;
                    size_t end = at;
                    for (; end < text.size(); ++end) {
                        if (escaped) {
                            escaped = false;
                        } else if (text[end] == '\\') {
                            escaped = true;
                        } else if (text[end] == '(') {
                            ++balance;
                        } else if (text[end] == ')' && --balance == 0) {
                            break;
                        }
                    }
                    if (balance != 0) return false;
                    if (!simple(without_escapes(text.substr(at, end - at)), out)) return false;
                    at = end + 1;
                }
            } else if (c == ')') {
                return false;   // a ")" without its "("
            } else {
                return simple(without_escapes(text.substr(at)), out);
            }
        }
        return true;
    }

private:
    static long right_paren(const std::string &text, size_t from) {
        int balance = 1;
        bool escaped = false;
        for (size_t at = from; at < text.size(); ++at) {
            if (escaped) {
                escaped = false;
            } else if (text[at] == '\\') {
                escaped = true;
            } else if (text[at] == '(') {
                ++balance;
            } else if (text[at] == ')' && --balance == 0) {
                return static_cast<long>(at);
            }
        }
        return -1;
    }

    static std::string without_escapes(const std::string &text) {
        std::string out;
        for (size_t at = 0; at < text.size(); ++at) {
            if (text[at] == '\\') {
                ++at;
                if (at == text.size()) break;
            }
            out += text[at];
        }
        return out;
    }

    bool list(const std::string &text, Bytes &out) {
        size_t at = 0;
        for (;;) {
            while (at < text.size() && is_space_(static_cast<unsigned char>(text[at]))) ++at;
            if (at == text.size()) return true;
            if (text[at] != '(') return false;
            const long close = right_paren(text, at + 1);
            if (close < 0) return false;
            if (!filter(text.substr(at, static_cast<size_t>(close) + 1 - at), out)) return false;
            at = static_cast<size_t>(close) + 1;
        }
    }

    static bool simple(const std::string &item, Bytes &out) {
        const size_t equals = item.find('=');
        if (equals == std::string::npos) return false;
        std::string type = item.substr(0, equals);
        const std::string value = item.substr(equals + 1);
        std::uint8_t tag = 0;
        if (!type.empty()) {
            const char op = type.back();
            tag = op == '<' ? 0xA6 : op == '>' ? 0xA5 : op == '~' ? 0xA8 : 0;
        }
        if (tag != 0) {
            type.pop_back();
            Bytes inner = string_element(0x04, type);
            append(inner, string_element(0x04, value));
            append(out, element(tag, inner));
        } else if (value.find('*') == std::string::npos) {
            Bytes inner = string_element(0x04, type);
            append(inner, string_element(0x04, value));
            append(out, element(0xA3, inner));
        } else if (value == "*") {
            append(out, string_element(0x87, type));
        } else {
            std::vector<std::string> pieces{""};
            for (char c : value) {
                if (c == '*') {
                    pieces.emplace_back();
                } else {
                    pieces.back() += c;
                }
            }
            Bytes parts;
            for (size_t i = 0; i < pieces.size(); ++i) {
                if (pieces[i].empty()) continue;
                const std::uint8_t part = i == 0 ? 0x80 : i + 1 == pieces.size() ? 0x82 : 0x81;
                append(parts, string_element(part, pieces[i]));
            }
            Bytes inner = string_element(0x04, type);
            append(inner, element(0x30, parts));
            append(out, element(0xA4, inner));
        }
        return true;
    }

    bool (*is_space_)(unsigned char);
    int nesting_ = 0;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> reference_filter(const std::string &text, bool (*is_space)(unsigned char)) {
    // A text of white space alone names no filter.
    bool blank = true;
    for (const char c : text) blank = blank && (c == ' ' || is_space(static_cast<unsigned char>(c)));
    if (blank) return std::nullopt;
    Bytes out;
    Encoder encoder(is_space);
    if (!encoder.filter(text, out)) return std::nullopt;
    return out;
}

}  // namespace qorfuzz
