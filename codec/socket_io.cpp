// Socket transfer: reading one whole message from a socket buffer (bergnxt) and sending a
// written element (berflsh).
//
// The socket buffer's sb_input is a read-ahead buffer: one socket read may bring several small
// messages, which later calls hand out without reading again. A message is gathered in the
// read-ahead buffer until it is whole, so a read that gives up half-way (the client's wait has
// passed) loses nothing and the next read goes on from there; a message larger than the buffer
// grows it to the message's size, and that buffer is then handed over as the message's own, so
// its bytes are copied once. Nothing is allocated for a message before its length has been
// checked against the host's largest message, and the whole message must arrive within the
// host's read limit.
#include <climits>
#include <cstring>

#include "ber_header.h"
#include "codec.h"
#include "memory.h"
#include "services.h"

namespace qor::codec {

namespace {

constexpr size_t kReadAheadCapacity = 16 * 1024;

// Why a read stopped short of a whole message.
enum class Shortfall { kNone, kClientWaitPassed, kFailed };

// The time left for reading one message: the host's read limit, and the client's wait when it
// gave one (milliseconds, host clock), counted from the first time the clock is consulted, so
// that a message already buffered costs no clock reading.
class Deadline {
public:
    Deadline(int32_t host_limit_ms, int32_t client_wait_ms)
        : host_limit_ms_(host_limit_ms), client_wait_ms_(client_wait_ms) {}

    // Milliseconds left, 0 once either limit has passed.
    int32_t remaining() {
        const double now = wzdttme();
        if (!started_) {
            start_ = now;
            started_ = true;
        }
        double left = static_cast<double>(binding_limit()) - (now - start_);
        if (left < 1) return 0;
        return left >= static_cast<double>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(left);
    }

    // What a read that could not go on means: the client's wait used up, or a failure (the
    // socket ended or failed, or the host's read limit passed).
    Shortfall shortfall() {
        bool client_binds = client_wait_ms_ > 0 && client_wait_ms_ < host_limit_ms_;
        return client_binds && remaining() == 0 ? Shortfall::kClientWaitPassed : Shortfall::kFailed;
    }

private:
    int32_t binding_limit() const {
        return client_wait_ms_ > 0 && client_wait_ms_ < host_limit_ms_ ? client_wait_ms_ : host_limit_ms_;
    }

    int32_t host_limit_ms_;
    int32_t client_wait_ms_;
    bool started_ = false;
    double start_ = 0;
};

// One socket read of at most `capacity` bytes into `into`; false when the socket fails, ends or
// stays silent until the deadline.
bool receive(int32_t socket, uint8_t *into, size_t capacity, Deadline &deadline, size_t *received) {
    int32_t wait = deadline.remaining();
    if (wait == 0) return false;
    int32_t asked = capacity > INT32_MAX ? INT32_MAX : static_cast<int32_t>(capacity);
    int32_t got = 0;
    if (wqsread(socket, into, asked, &got, wait) != 0 || got <= 0 || got > asked) return false;
    *received = static_cast<size_t>(got);
    return true;
}

// A new empty read-ahead buffer of `capacity` bytes for sb_input; false when the pool has none.
bool new_input(LDAPSocketBuffer *sb, size_t capacity) {
    BerElement &input = sb->sb_input;
    auto *buffer = static_cast<uint8_t *>(allocate(input.be_pool, capacity));
    if (buffer == nullptr) return false;
    input.be_start = input.be_pos = input.be_end = buffer;
    sb->sb_input_limit = buffer + capacity;
    return true;
}

// Makes sure sb_input has its read-ahead buffer, keeping what it holds.
bool prepare_input(LDAPSocketBuffer *sb, HostPool *pool) {
    BerElement &input = sb->sb_input;
    if (input.be_pool == nullptr) input.be_pool = pool;
    bool usable = input.be_start != nullptr && sb->sb_input_limit != nullptr && input.be_start <= input.be_pos &&
                  input.be_pos <= input.be_end && input.be_end <= sb->sb_input_limit;
    return usable || new_input(sb, kReadAheadCapacity);
}

size_t buffered(const LDAPSocketBuffer *sb) {
    return static_cast<size_t>(sb->sb_input.be_end - sb->sb_input.be_pos);
}

size_t input_capacity(const LDAPSocketBuffer *sb) {
    return static_cast<size_t>(sb->sb_input_limit - sb->sb_input.be_start);
}

// Moves what is unread to the front of the read-ahead buffer.
void compact_input(LDAPSocketBuffer *sb) {
    BerElement &input = sb->sb_input;
    if (input.be_pos == input.be_start) return;
    size_t unread = buffered(sb);
    move_down(input.be_start, input.be_pos, unread);
    input.be_pos = input.be_start;
    input.be_end = input.be_start + unread;
}

// Gives the read-ahead buffer room for a whole message of `total` bytes at its front: a buffer
// of exactly that size when the message is larger than the usual one, so that no byte of a
// following message is read into it.
bool make_room(LDAPSocketBuffer *sb, size_t total) {
    compact_input(sb);
    if (total <= input_capacity(sb)) return true;
    BerElement &input = sb->sb_input;
    auto *buffer = static_cast<uint8_t *>(allocate(input.be_pool, total));
    if (buffer == nullptr) return false;
    size_t unread = buffered(sb);
    if (unread != 0) memcpy(buffer, input.be_pos, unread);
    release(input.be_pool, input.be_start, BlockKind::kBuffer);
    input.be_start = input.be_pos = buffer;
    input.be_end = buffer + unread;
    sb->sb_input_limit = buffer + total;
    return true;
}

// Reads more bytes into the read-ahead buffer, after what it holds.
bool fill_input(LDAPSocketBuffer *sb, Deadline &deadline) {
    compact_input(sb);
    BerElement &input = sb->sb_input;
    size_t room = static_cast<size_t>(sb->sb_input_limit - input.be_end);
    size_t received;
    if (room == 0 || !receive(sb->sb_socket, input.be_end, room, deadline, &received)) return false;
    input.be_end += received;
    return true;
}

// Takes the whole message of `total` bytes at the front of the read-ahead buffer out of it, into
// a buffer of `pool`: a buffer grown for the message becomes the message's own (and a new
// read-ahead buffer follows), otherwise the message is copied. Null when the pool has no
// memory; the message then stays.
uint8_t *take_message(LDAPSocketBuffer *sb, size_t total, HostPool *pool) {
    BerElement &input = sb->sb_input;
    if (input_capacity(sb) > kReadAheadCapacity && input.be_pos == input.be_start && buffered(sb) == total &&
        input.be_pool == pool) {
        uint8_t *message = input.be_start;
        if (!new_input(sb, kReadAheadCapacity)) {
            input.be_start = input.be_pos = input.be_end = nullptr;  // allocated again by the next read
            sb->sb_input_limit = nullptr;
        }
        return message;
    }
    auto *message = static_cast<uint8_t *>(allocate(pool, total));
    if (message == nullptr) return nullptr;
    memcpy(message, input.be_pos, total);
    input.be_pos += total;
    return message;
}

// What a read that could not go on answers: the client's wait has passed (what arrived is
// kept), or the stream cannot go on.
int32_t stopped_short(Deadline &deadline) {
    return deadline.shortfall() == Shortfall::kClientWaitPassed ? BER_READ_WAIT_PASSED : BER_READ_FAILED;
}

}  // namespace

int32_t next_message(LDAPSocketBuffer *sb, uint32_t *length, BerElement *ber) {
    if (sb == nullptr || ber == nullptr) return BER_READ_FAILED;
    HostPool *pool = ber->be_pool != nullptr ? ber->be_pool : sb->sb_input.be_pool;
    int32_t read_wait = 0;
    int32_t max_message = 0;
    if (pool == nullptr || wqslimt(&read_wait, &max_message) != 0) return BER_READ_FAILED;
    if (!prepare_input(sb, pool)) return BER_READ_NO_MEMORY;
    Deadline deadline(read_wait, sb->sb_read_wait_ms);

    Header header;
    for (;;) {
        HeaderStatus status = parse_header(sb->sb_input.be_pos, buffered(sb), &header);
        if (status == HeaderStatus::kComplete) break;
        if (status == HeaderStatus::kMalformed) return BER_READ_FAILED;
        if (!fill_input(sb, deadline)) return stopped_short(deadline);
    }
    uint64_t total = static_cast<uint64_t>(header.size) + header.length;
    if (max_message <= 0 || total > static_cast<uint64_t>(max_message) || total > kMaxBlock) return BER_READ_FAILED;
    if (!make_room(sb, static_cast<size_t>(total))) return BER_READ_NO_MEMORY;
    while (buffered(sb) < total) {
        if (!fill_input(sb, deadline)) return stopped_short(deadline);
    }
    uint8_t *message = take_message(sb, static_cast<size_t>(total), pool);
    if (message == nullptr) return BER_READ_NO_MEMORY;

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
