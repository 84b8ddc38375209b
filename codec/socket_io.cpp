// Socket transfer: reading one whole message from a socket buffer (bergnxt) and sending a
// written element (berflsh).
//
// The socket buffer's sb_input is a read-ahead buffer: one socket read may bring several small
// messages, which later calls hand out without reading again. A message whose remainder is
// larger than the read-ahead buffer is read straight into its own buffer, so its bytes are
// copied once. Nothing is allocated for a message before its length has been checked against
// the host's largest message, and the whole message must arrive within the host's read limit.
#include <climits>
#include <cstring>

#include "ber_header.h"
#include "codec.h"
#include "memory.h"
#include "services.h"

namespace qor::codec {

namespace {

constexpr size_t kReadAheadCapacity = 16 * 1024;

// The time left for reading one message, from the host clock (milliseconds).
class Deadline {
public:
    explicit Deadline(int32_t limit_ms) : start_(wzdttme()), limit_ms_(limit_ms) {}

    // Milliseconds left, 0 once the limit has passed.
    int32_t remaining() const {
        double left = static_cast<double>(limit_ms_) - (wzdttme() - start_);
        if (left < 1) return 0;
        return left >= static_cast<double>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(left);
    }

private:
    double start_;
    int32_t limit_ms_;
};

// One socket read of at most `capacity` bytes into `into`; false when the socket fails, ends or
// stays silent until the deadline.
bool receive(int32_t socket, uint8_t *into, size_t capacity, const Deadline &deadline, size_t *received) {
    int32_t wait = deadline.remaining();
    if (wait == 0) return false;
    int32_t asked = capacity > INT32_MAX ? INT32_MAX : static_cast<int32_t>(capacity);
    int32_t got = 0;
    if (wqsread(socket, into, asked, &got, wait) != 0 || got <= 0 || got > asked) return false;
    *received = static_cast<size_t>(got);
    return true;
}

// Makes sure sb_input has its read-ahead buffer, keeping what it holds.
bool prepare_input(LDAPSocketBuffer *sb, HostPool *pool) {
    BerElement &input = sb->sb_input;
    if (input.be_pool == nullptr) input.be_pool = pool;
    bool usable = input.be_start != nullptr && sb->sb_input_limit != nullptr && input.be_start <= input.be_pos &&
                  input.be_pos <= input.be_end && input.be_end <= sb->sb_input_limit;
    if (usable) return true;
    auto *buffer = static_cast<uint8_t *>(allocate(input.be_pool, kReadAheadCapacity));
    if (buffer == nullptr) return false;
    input.be_start = input.be_pos = input.be_end = buffer;
    sb->sb_input_limit = buffer + kReadAheadCapacity;
    return true;
}

size_t buffered(const LDAPSocketBuffer *sb) {
    return static_cast<size_t>(sb->sb_input.be_end - sb->sb_input.be_pos);
}

// Reads more bytes into the read-ahead buffer, first moving what is unread to its front.
bool fill_input(LDAPSocketBuffer *sb, const Deadline &deadline) {
    BerElement &input = sb->sb_input;
    size_t unread = buffered(sb);
    if (input.be_pos != input.be_start) {
        move_down(input.be_start, input.be_pos, unread);
        input.be_pos = input.be_start;
        input.be_end = input.be_start + unread;
    }
    size_t room = static_cast<size_t>(sb->sb_input_limit - input.be_end);
    size_t received;
    if (room == 0 || !receive(sb->sb_socket, input.be_end, room, deadline, &received)) return false;
    input.be_end += received;
    return true;
}

// Hands `count` buffered bytes over to `into`.
void take_input(LDAPSocketBuffer *sb, uint8_t *into, size_t count) {
    memcpy(into, sb->sb_input.be_pos, count);
    sb->sb_input.be_pos += count;
}

// Fills [into, into + count) from the socket: through the read-ahead buffer when the count is
// small, so that following messages come along, else straight from the socket.
bool read_remainder(LDAPSocketBuffer *sb, uint8_t *into, size_t count, const Deadline &deadline) {
    if (count < kReadAheadCapacity) {
        while (buffered(sb) < count) {
            if (!fill_input(sb, deadline)) return false;
        }
        take_input(sb, into, count);
        return true;
    }
    for (size_t done = 0; done < count;) {
        size_t received;
        if (!receive(sb->sb_socket, into + done, count - done, deadline, &received)) return false;
        done += received;
    }
    return true;
}

}  // namespace

int32_t next_message(LDAPSocketBuffer *sb, uint32_t *length, BerElement *ber) {
    if (sb == nullptr || ber == nullptr) return -1;
    HostPool *pool = ber->be_pool != nullptr ? ber->be_pool : sb->sb_input.be_pool;
    int32_t read_wait = 0;
    int32_t max_message = 0;
    if (pool == nullptr || wqslimt(&read_wait, &max_message) != 0) return -1;
    if (!prepare_input(sb, pool)) return -1;
    Deadline deadline(read_wait);

    Header header;
    for (;;) {
        HeaderStatus status = parse_header(sb->sb_input.be_pos, buffered(sb), &header);
        if (status == HeaderStatus::kComplete) break;
        if (status == HeaderStatus::kMalformed || !fill_input(sb, deadline)) return -1;
    }
    uint64_t total = static_cast<uint64_t>(header.size) + header.length;
    if (max_message <= 0 || total > static_cast<uint64_t>(max_message) || total > kMaxBlock) return -1;

    auto *message = static_cast<uint8_t *>(allocate(pool, static_cast<size_t>(total)));
    if (message == nullptr) return -1;
    size_t have = buffered(sb) < total ? buffered(sb) : static_cast<size_t>(total);
    take_input(sb, message, have);
    if (!read_remainder(sb, message + have, static_cast<size_t>(total) - have, deadline)) {
        release(pool, message, BlockKind::kBuffer);
        return -1;
    }

    ber->be_pool = pool;
    ber->be_start = message;
    ber->be_pos = message + header.size;
    ber->be_end = message + total;
    ber->be_depth = 0;
    ber->be_state = 0;
    ber->be_open_chain = 0;
    if (length != nullptr) *length = header.length;
    return static_cast<int32_t>(header.tag);
}

int32_t flush(LDAPSocketBuffer *sb, BerElement *ber, int32_t free_element_after) {
    if (sb == nullptr || ber == nullptr) return -1;
    // A failed write or an element still open would put a broken message on the wire.
    if ((ber->be_state & kWriteFailed) != 0 || ber->be_open_chain != 0) return -1;
    size_t count = ber->be_start == nullptr ? 0 : static_cast<size_t>(ber->be_pos - ber->be_start);
    if (count > INT32_MAX) return -1;
    if (count != 0) {
        int32_t read_wait = 0;
        int32_t max_message = 0;
        if (wqslimt(&read_wait, &max_message) != 0) return -1;
        if (wqswrit(sb->sb_socket, ber->be_start, static_cast<int32_t>(count), read_wait) != 0) return -1;
    }
    if (free_element_after != 0) free_element(ber, 1);
    return 0;
}

}  // namespace qor::codec
