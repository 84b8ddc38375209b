// Transcoding between host encoding numbers through iconv. Converters are kept per thread (an
// iconv descriptor must not be shared between threads) and reset before each use.
//
// Statuses: 0 converted; kStatusTooSmall with the exact size needed stored when the destination
// cannot hold the whole result; kStatusNotConvertible when the source holds a byte sequence that
// is invalid in its encoding or a character the target cannot represent (the destination then
// holds what was converted before it).
#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <cstdint>
#include <utility>

#include "services.h"
#include "settings.h"
#include "status.h"

namespace qorhost {
namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(static_cast<intptr_t>(-1));

// This thread's converters, closed when the thread ends.
struct Converters {
    std::map<std::pair<int, int>, iconv_t> open;
    ~Converters() {
        for (auto &[key, converter] : open) {
            iconv_close(converter);
        }
    }
};

thread_local Converters converters;

iconv_t converter_for(int from, int to) {
    const auto key = std::make_pair(from, to);
    if (const auto it = converters.open.find(key); it != converters.open.end()) {
        iconv(it->second, nullptr, nullptr, nullptr, nullptr);
        return it->second;
    }
    const char *from_name = encoding_name(from);
    const char *to_name = encoding_name(to);
    if (from_name == nullptr || to_name == nullptr) {
        return kNoConverter;
    }
    const iconv_t converter = iconv_open(to_name, from_name);
    if (converter != kNoConverter) {
        converters.open.emplace(key, converter);
    }
    return converter;
}

// Converts all input, writing into [out, out + capacity) while room lasts and only counting the
// output beyond it. Answers 0 or kStatusNotConvertible; `written` is what went into the
// destination, `total` the size of the whole output.
uint32_t convert(iconv_t converter, const uint8_t *source, size_t length, uint8_t *out, size_t capacity,
                 size_t &written, size_t &total) {
    char *in = const_cast<char *>(reinterpret_cast<const char *>(source));
    size_t in_left = length;
    char *destination = reinterpret_cast<char *>(out);
    size_t destination_left = capacity;
    bool counting = false;  // the destination is full: later output is only counted
    size_t counted = 0;
    bool flushing = false;  // all input taken: a stateful encoding closes its shift state
    char scratch[256];
    uint32_t result = kStatusOk;
    for (;;) {
        char *target = counting ? scratch : destination;
        size_t target_left = counting ? sizeof scratch : destination_left;
        const size_t before = target_left;
        const size_t converted = flushing ? iconv(converter, nullptr, nullptr, &target, &target_left)
                                          : iconv(converter, &in, &in_left, &target, &target_left);
        const int error = errno;
        if (counting) {
            counted += before - target_left;
        } else {
            destination = target;
            destination_left = target_left;
        }
        if (converted != static_cast<size_t>(-1)) {
            if (flushing) {
                break;
            }
            flushing = true;
            continue;
        }
        if (error == E2BIG) {
            counting = true;
            continue;
        }
        result = kStatusNotConvertible;  // EILSEQ, or EINVAL for a sequence cut off at the end
        break;
    }
    written = capacity - destination_left;
    total = written + counted;
    return result;
}

}  // namespace

int32_t wztxcod_service(const uint8_t *source, int32_t source_length, int32_t from, uint8_t *destination,
                        int32_t *destination_length, int32_t to, int32_t *needed) {
    if (destination_length == nullptr || source_length < 0 || (source == nullptr && source_length > 0)) {
        return status(kStatusBadArgument);
    }
    const int32_t capacity = *destination_length;
    if (capacity < 0 || (destination == nullptr && capacity > 0)) {
        return status(kStatusBadArgument);
    }
    if (encoding_name(from) == nullptr || encoding_name(to) == nullptr) {
        return status(kStatusUnknownEncoding);
    }
    size_t written = 0;
    size_t total = 0;
    if (from == to) {
        total = static_cast<size_t>(source_length);
        written = total <= static_cast<size_t>(capacity) ? total : 0;
        if (written > 0) {
            std::memmove(destination, source, written);
        }
    } else {
        const iconv_t converter = converter_for(from, to);
        if (converter == kNoConverter) {
            return status(kStatusUnknownEncoding);
        }
        const uint32_t result = convert(converter, source, static_cast<size_t>(source_length), destination,
                                        static_cast<size_t>(capacity), written, total);
        if (result != kStatusOk) {
            *destination_length = static_cast<int32_t>(written);
            return static_cast<int32_t>(result);
        }
    }
    *destination_length = static_cast<int32_t>(written);
    if (total > static_cast<size_t>(INT32_MAX)) {
        return status(kStatusOutOfRange);
    }
    if (needed != nullptr) {
        *needed = static_cast<int32_t>(total);
    }
    return total > static_cast<size_t>(capacity) ? status(kStatusTooSmall) : 0;
}

}  // namespace qorhost
