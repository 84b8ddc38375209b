// String translators: transcoding through the host into buffers from the session's pool.
#include "ldtrans.h"

#include "../host/gcb.h"
#include "../host/services.h"
#include "ldap.h"
#include "ldb64.h"
#include "pool.h"

namespace {

constexpr int32_t kTranslated = 0;
constexpr int32_t kNoOutput = 1;
constexpr int32_t kStatusTooSmall = static_cast<int32_t>(0x80002011);
constexpr int32_t kStatusNotConvertible = static_cast<int32_t>(0x80002006);

// A zero-filled pool block for a text of up to `capacity` bytes and the NUL after it; null when
// the pool has none or the size has no 32-bit form.
uint8_t *allocate_text(HostPool *pool, uint32_t capacity) {
    if (capacity >= static_cast<uint32_t>(INT32_MAX)) {
        return nullptr;
    }
    return static_cast<uint8_t *>(qor::pool_alloc(pool, static_cast<int32_t>(capacity + 1)));
}

// A translation's output: `text` null when no block could be had; `status` is the host's
// answer for the last transcoding (0 when none was needed).
struct Output {
    uint8_t *text;
    int32_t length;
    int32_t status;
};

// Transcodes `length` bytes from encoding `from` into `to`. The first block holds as many bytes
// as the input; when the host answers that it needs more, a block of the size it names is
// taken and the transcoding done once more.
Output transcode(HostPool *pool, const uint8_t *input, int32_t length, int32_t from, int32_t to) {
    Output out{allocate_text(pool, static_cast<uint32_t>(length)), 0, 0};
    if (out.text == nullptr) {
        return out;
    }
    if (from == to) {
        // Identical encodings: the translation is one copy.
        if (length > 0) {
            __builtin_memcpy(out.text, input, static_cast<uint32_t>(length));
        }
        out.length = length;
        return out;
    }
    int32_t capacity = length;
    int32_t produced = capacity;
    int32_t needed = 0;
    out.status = wztxcod(input, length, from, out.text, &produced, to, &needed);
    if (out.status == kStatusTooSmall) {
        qor::pool_free_buffer(pool, out.text);
        out.text = needed > 0 ? allocate_text(pool, static_cast<uint32_t>(needed)) : nullptr;
        if (out.text == nullptr) {
            return out;
        }
        capacity = needed;
        produced = capacity;
        out.status = wztxcod(input, length, from, out.text, &produced, to, &needed);
    }
    // Whatever the host states, the text cannot be longer than its buffer.
    out.length = produced < 0 ? 0 : produced > capacity ? capacity : produced;
    return out;
}

// The Base64 text (no line breaks) of `length` raw bytes, in a block of its own.
Output base64_of(HostPool *pool, const uint8_t *input, int32_t length) {
    const uint32_t characters = 4 * ((static_cast<uint32_t>(length) + 2) / 3);
    Output out{allocate_text(pool, characters), 0, 0};
    if (out.text != nullptr) {
        encode_base64(input, length, reinterpret_cast<char *>(out.text), static_cast<int32_t>(characters), &out.length,
                      0);
    }
    return out;
}

// Logs a transcoding that did not end in success. A failure (high bit set) leaves at best part
// of the text, and a part is a different value: sent, it would store or search for something
// the caller never gave; read, it would pass for the directory's value. It is dropped, so that
// the caller's element fails instead.
void report_status(HostPool *pool, Output *out) {
    if (out->text == nullptr || out->status == 0) {
        return;
    }
    xprrlog(0, out->status);
    if (out->status < 0) {
        qor::pool_free_buffer(pool, out->text);
        out->text = nullptr;
    }
}

// Hands `out` to the caller, releasing the input first when asked to.
int32_t deliver(HostPool *pool, uint8_t **buffer, int32_t *length, int32_t free_input, const Output &out) {
    if (free_input != 0) {
        qor::pool_free_buffer(pool, *buffer);
    }
    *buffer = out.text;
    if (out.text == nullptr) {
        return kNoOutput;
    }
    *length = out.length;
    return kTranslated;
}

int32_t host_encoding() {
    return static_cast<int32_t>(qor::gcb_record_word(kGcbEncoding, kEncodingWord));
}

// The input's length as a counted string: absent and negative-length texts are empty.
int32_t input_length(const uint8_t *input, int32_t length) {
    return input == nullptr || length < 0 ? 0 : length;
}

}  // namespace

int32_t encode_proc(HostPool *pool, uint8_t **buffer, int32_t *length, int32_t free_input) {
    const uint8_t *input = *buffer;
    const int32_t count = input_length(input, *length);
    Output out = transcode(pool, input, count, host_encoding(), kWireEncoding);
    report_status(pool, &out);
    return deliver(pool, buffer, length, free_input, out);
}

int32_t decode_proc(HostPool *pool, uint8_t **buffer, int32_t *length, int32_t free_input) {
    const uint8_t *input = *buffer;
    const int32_t count = input_length(input, *length);
    Output out = transcode(pool, input, count, kWireEncoding, host_encoding());
    if (out.text != nullptr && out.status == kStatusNotConvertible) {
        qor::pool_free_buffer(pool, out.text);
        out = base64_of(pool, input, count);
    }
    report_status(pool, &out);
    return deliver(pool, buffer, length, free_input, out);
}

bool encodes_unchanged(StringTranslator encode) {
    return encode == encode_proc && host_encoding() == kWireEncoding;
}

bool decodes_unchanged(StringTranslator decode) {
    return decode == decode_proc && host_encoding() == kWireEncoding;
}

void ldap_set_string_translators(LDAP *ld, StringTranslator encode, StringTranslator decode) {
    if (ld == nullptr) {
        return;
    }
    ld->ld_encode_translator = encode;
    ld->ld_decode_translator = decode;
}
