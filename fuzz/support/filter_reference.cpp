// The string filter rules read plainly.
#include "fuzz/support/filter_reference.h"

#include <utility>

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
                    if (!simple(decoded(text.substr(at, end - at)), out)) return false;
                    at = end + 1;
                }
            } else if (c == ')') {
                return false;   // a ")" without its "("
            } else {
                return simple(decoded(text.substr(at)), out);
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

    // An item with its escapes decoded: each byte, and whether it came from a hex escape (and so
    // is never an operator).
    struct Item {
        std::string bytes;
        std::vector<bool> literal;

        bool is_operator(size_t at, char c) const { return bytes[at] == c && !literal[at]; }
        size_t find(char c, size_t from = 0) const {
            for (size_t at = from; at < bytes.size(); ++at) {
                if (is_operator(at, c)) return at;
            }
            return std::string::npos;
        }
        // The pieces between the operators `c`.
        std::vector<std::string> split(char c) const {
            std::vector<std::string> pieces{""};
            for (size_t at = 0; at < bytes.size(); ++at) {
                if (is_operator(at, c)) {
                    pieces.emplace_back();
                } else {
                    pieces.back() += bytes[at];
                }
            }
            return pieces;
        }
        Item sub(size_t from, size_t to) const {
            return Item{bytes.substr(from, to - from), std::vector<bool>(literal.begin() + from, literal.begin() + to)};
        }
    };

    static int hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // "\XX" is the byte XX, literal; "\c" is c with its ordinary meaning; a final "\" is dropped.
    static Item decoded(const std::string &text) {
        Item item;
        for (size_t at = 0; at < text.size(); ++at) {
            if (text[at] != '\\') {
                item.bytes += text[at];
                item.literal.push_back(false);
            } else if (at + 2 < text.size() && hex(text[at + 1]) >= 0 && hex(text[at + 2]) >= 0) {
                item.bytes += static_cast<char>(hex(text[at + 1]) * 16 + hex(text[at + 2]));
                item.literal.push_back(true);
                at += 2;
            } else if (at + 1 < text.size()) {
                item.bytes += text[++at];
                item.literal.push_back(false);
            }
        }
        return item;
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

    static Bytes pair(std::uint8_t tag, const std::string &type, const std::string &value) {
        Bytes inner = string_element(0x04, type);
        append(inner, string_element(0x04, value));
        return element(tag, inner);
    }

    // "[type][:dn][:rule]" before ":=", as a matching rule assertion.
    static bool extensible(const Item &description, const std::string &value, Bytes &out) {
        const std::vector<std::string> fields = description.split(':');
        if (fields.size() > 3) return false;
        auto is_dn = [](const std::string &field) {
            return field.size() == 2 && (field[0] == 'd' || field[0] == 'D') && (field[1] == 'n' || field[1] == 'N');
        };
        const std::string &type = fields[0];
        bool dn = false;
        std::optional<std::string> rule;
        if (fields.size() == 3) {
            if (!is_dn(fields[1])) return false;
            dn = true;
            rule = fields[2];
        } else if (fields.size() == 2) {
            dn = is_dn(fields[1]);
            if (!dn) rule = fields[1];
        }
        if ((rule && rule->empty()) || (!rule && type.empty())) return false;
        Bytes inner;
        if (rule) append(inner, string_element(0x81, *rule));
        if (!type.empty()) append(inner, string_element(0x82, type));
        append(inner, string_element(0x83, value));
        if (dn) append(inner, element(0x84, Bytes{0xFF}));
        append(out, element(0xA9, inner));
        return true;
    }

    static bool simple(const Item &item, Bytes &out) {
        const size_t equals = item.find('=');
        if (equals == std::string::npos) return false;
        const Item value = item.sub(equals + 1, item.bytes.size());
        if (equals > 0) {
            const Item type = item.sub(0, equals - 1);
            for (auto [op, tag] : {std::pair{'<', 0xA6}, {'>', 0xA5}, {'~', 0xA8}}) {
                if (item.is_operator(equals - 1, op)) {
                    append(out, pair(static_cast<std::uint8_t>(tag), type.bytes, value.bytes));
                    return true;
                }
            }
            if (item.is_operator(equals - 1, ':')) return extensible(type, value.bytes, out);
        }
        const std::string type = item.bytes.substr(0, equals);
        if (value.find('*') == std::string::npos) {
            append(out, pair(0xA3, type, value.bytes));
        } else if (value.bytes.size() == 1) {
            append(out, string_element(0x87, type));
        } else {
            const std::vector<std::string> pieces = value.split('*');
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
