#include "base64.h"

#include <array>
#include <cstdint>

namespace qords {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of each byte in the alphabet; -1 outside it.
constexpr std::array<int8_t, 256> make_decoding_table() {
    std::array<int8_t, 256> table{};
    table.fill(-1);
    for (size_t i = 0; i < kAlphabet.size(); ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    return table;
}
constexpr auto kDecoding = make_decoding_table();

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                               static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                               static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[group >> 18];
        out += kAlphabet[(group >> 12) & 63];
        out += kAlphabet[(group >> 6) & 63];
        out += kAlphabet[group & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2) group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += kAlphabet[group >> 18];
        out += kAlphabet[(group >> 12) & 63];
        out += rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3);
    uint32_t group = 0;
    int filled = 0;   // characters of the current quantum
    int padding = 0;  // '=' seen; only more '=' and blanks may follow
    for (char c : text) {
        if (is_blank(c)) continue;
        if (c == '=') {
            if (filled < 2) return std::nullopt;
            ++padding;
            group <<= 6;
            ++filled;
            if (filled == 4) {
                if (padding > 2) return std::nullopt;
                out += static_cast<char>(group >> 16);
                if (padding == 1) out += static_cast<char>((group >> 8) & 0xff);
                filled = 0;
                group = 0;
            }
            continue;
        }
        const int8_t value = kDecoding[static_cast<unsigned char>(c)];
        if (value < 0 || padding > 0) return std::nullopt;
        group = group << 6 | static_cast<uint32_t>(value);
        if (++filled == 4) {
            out += static_cast<char>(group >> 16);
            out += static_cast<char>((group >> 8) & 0xff);
            out += static_cast<char>(group & 0xff);
            filled = 0;
            group = 0;
        }
    }
    if (filled != 0) return std::nullopt;
    return out;
}

}  // namespace qords
