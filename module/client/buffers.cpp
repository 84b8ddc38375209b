#include "buffers.h"

#include "../host/services.h"
#include "../util/util.h"
#include "client.h"
#include "pool.h"

namespace qor {

void drop_buffer(HostPool *pool, BerElement *ber) {
    pool_free_buffer(pool, ber->be_start);
    ber->be_start = ber->be_pos = ber->be_end = nullptr;
}

void release_request_element(BerElement *ber) {
    if (ber == nullptr) return;
    if (ber->be_start != nullptr) {
        const uint8_t *end = ber->be_pos > ber->be_end ? ber->be_pos : ber->be_end;
        scrub(ber->be_start, static_cast<int32_t>(end - ber->be_start));
    }
    berfree(ber, kWithBuffer);
}

BerElement written_view(const BerElement *written) {
    BerElement view;
    berinit(&view, 0);
    view.be_pool = written->be_pool;
    view.be_start = written->be_start;
    view.be_pos = written->be_start;
    view.be_end = written->be_pos;
    return view;
}

BerElement bytes_view(const uint8_t *bytes, int32_t length) {
    BerElement view;
    berinit(&view, 0);
    view.be_start = view.be_pos = const_cast<uint8_t *>(bytes);
    view.be_end = view.be_start + length;
    return view;
}

int32_t buffer_length(const BerElement *ber) {
    return static_cast<int32_t>(ber->be_end - ber->be_start);
}

const uint8_t *unread_bytes(const BerElement *ber, int32_t *length) {
    *length = ber->be_pos != nullptr ? static_cast<int32_t>(ber->be_end - ber->be_pos) : 0;
    return ber->be_pos;
}

void skip_unread(BerElement *reader, int32_t count) {
    int32_t left = 0;
    unread_bytes(reader, &left);
    if (count > 0) reader->be_pos += count < left ? count : left;
}

bool read_raw_octets(BerElement *reader, const uint8_t **bytes, int32_t *length) {
    uint32_t size = 0;
    if (bersktg(reader, &size) == -1) return false;
    int32_t left = 0;
    const uint8_t *contents = unread_bytes(reader, &left);
    if (size > static_cast<uint32_t>(left)) return false;
    *bytes = contents;
    *length = static_cast<int32_t>(size);
    skip_unread(reader, *length);
    return true;
}

int32_t put_raw_octets(BerElement *ber, const uint8_t *bytes, int32_t length) {
    constexpr uint8_t kOctetString = 0x04;
    uint8_t header[6] = {kOctetString};
    int32_t size = 2;
    if (length < 0x80) {
        header[1] = static_cast<uint8_t>(length);
    } else {
        int32_t octets = 0;
        for (uint32_t rest = static_cast<uint32_t>(length); rest != 0; rest >>= 8) ++octets;
        header[1] = static_cast<uint8_t>(0x80 | octets);
        for (int32_t i = 0; i < octets; ++i) header[2 + i] = static_cast<uint8_t>(length >> (8 * (octets - 1 - i)));
        size = 2 + octets;
    }
    if (berwrte(ber, header, size, 0) != size) return -1;
    return length == 0 || berwrte(ber, bytes, length, 0) == length ? 0 : -1;
}

BerElement *copy_element(const BerElement *source) {
    HostPool *pool = source->be_pool;
    const int32_t length = buffer_length(source);
    auto *bytes = static_cast<uint8_t *>(pool_alloc(pool, length > 0 ? length : 1));
    BerElement *copy = bytes != nullptr ? berdup(source) : nullptr;
    if (copy == nullptr) {
        pool_free_buffer(pool, bytes);
        return nullptr;
    }
    wzbmndi(source->be_start, bytes, length);
    copy->be_start = bytes;
    copy->be_pos = bytes + (source->be_pos - source->be_start);
    copy->be_end = bytes + length;
    return copy;
}

bool input_pending(const LDAPSocketBuffer *sb) {
    return sb->sb_input.be_pos != nullptr && sb->sb_input.be_pos < sb->sb_input.be_end;
}

void release_input(HostPool *pool, LDAPSocketBuffer *sb) {
    drop_buffer(pool, &sb->sb_input);
}

}  // namespace qor
