// bergnxt and berflsh over a real loopback connection: the codec's socket buffer against a peer
// the test drives byte by byte.
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "codec_fixture.h"
#include "tests/support/loopback.h"

namespace codectest {
namespace {

using qortest::concat;
using qortest::hex;
using qortest::to_hex;

// A bind response with the given message id.
Bytes bind_response(uint8_t id) {
    return concat({hex("30 0c 02 01"), Bytes{id}, hex("61 07 0a 01 00 04 00 04 00")});
}

class SocketTransfer : public CodecTest {
protected:
    void SetUp() override {
        CodecTest::SetUp();
        auto limits = qortest::entry<int32_t (*)(int32_t *, int32_t *)>(443, 42);   // wqslimt
        ASSERT_NE(limits, nullptr);
        ASSERT_EQ(limits(&saved_wait_, &saved_max_), 0);
        uint16_t port = 0;
        qortest::Socket listener = qortest::listen_loopback(port);
        ASSERT_EQ(wqssock(1, 0x80000000u, 0, 0, &handle_), 0);
        ASSERT_EQ(wqsconn(handle_, "127.0.0.1", 9, 0, 0, port), 0);
        pollfd ready{listener.fd(), POLLIN, 0};
        ASSERT_EQ(::poll(&ready, 1, 5000), 1);
        peer_ = qortest::Socket(::accept(listener.fd(), nullptr, nullptr));
        ASSERT_TRUE(peer_.valid());
        timeval limit{5, 0};
        ::setsockopt(peer_.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sb_.sb_socket = handle_;
        sb_.sb_input.be_pool = pool_;
        berinit(&ber_, 0);
        ber_.be_pool = pool_;
    }

    void TearDown() override {
        release_message();
        pool_->release(pool_, sb_.sb_input.be_start, 0, 6);
        if (handle_ != 0) wqsclos(handle_);
        qorhost_set_read_timeout_ms(saved_wait_);
        qorhost_set_max_message(saved_max_);
        CodecTest::TearDown();
    }

    void send(const Bytes &bytes) {
        ASSERT_EQ(::send(peer_.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    // Reads one message into ber_, releasing the previous one.
    int32_t next(uint32_t *length) {
        release_message();
        berinit(&ber_, 0);
        ber_.be_pool = pool_;
        return bergnxt(&sb_, length, &ber_);
    }

    int32_t message_id() {
        int32_t id = -1;
        return bergint(&ber_, &id) == 2 ? id : -1;
    }

    void release_message() {
        pool_->release(pool_, ber_.be_start, 0, 6);
        ber_.be_start = nullptr;
    }

    bool buffered() const { return sb_.sb_input.be_pos < sb_.sb_input.be_end; }

    int32_t saved_wait_ = 0;
    int32_t saved_max_ = 0;
    int32_t handle_ = 0;
    qortest::Socket peer_;
    LDAPSocketBuffer sb_{};
    BerElement ber_{};
};

TEST_F(SocketTransfer, SeveralMessagesInOneSegmentCostOneRead) {
    send(concat({bind_response(1), bind_response(2), bind_response(3)}));
    uint32_t length = 0;
    ASSERT_EQ(next(&length), 0x30);
    EXPECT_EQ(length, 12u);
    EXPECT_EQ(message_id(), 1);
    EXPECT_TRUE(buffered());
    // The peer is gone: the other two messages can only come from what was read ahead.
    peer_.reset();
    ASSERT_EQ(next(&length), 0x30);
    EXPECT_EQ(message_id(), 2);
    ASSERT_EQ(next(&length), 0x30);
    EXPECT_EQ(message_id(), 3);
    EXPECT_FALSE(buffered());
    EXPECT_EQ(next(&length), -1);   // and then the end of the stream
}

TEST_F(SocketTransfer, MessageSplitAcrossSegments) {
    // A long-form length split inside the header, and contents split in two.
    const Bytes message = concat({hex("30 84 00 00 00 0a 02 01 05 04 05"), qortest::bytes_of("hello")});
    std::thread sender([&] {
        send(Bytes(message.begin(), message.begin() + 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        send(Bytes(message.begin() + 2, message.begin() + 9));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        send(Bytes(message.begin() + 9, message.end()));
    });
    uint32_t length = 0;
    int32_t tag = next(&length);
    sender.join();
    ASSERT_EQ(tag, 0x30);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(Bytes(ber_.be_start, ber_.be_end), message);
    EXPECT_EQ(message_id(), 5);
    char *text = nullptr;
    EXPECT_EQ(bergstr(&ber_, &text), 4);
    EXPECT_STREQ(text, "hello");
    release(text);
}

TEST_F(SocketTransfer, LargeMessageFollowedByASmallOne) {
    Bytes value(1024 * 1024 + 100);
    for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(i * 7 + i / 251);
    // SEQUENCE { INTEGER 9, OCTET STRING value }: contents 3 + 5 + 1048676 = 1048684 (0x10006c).
    const Bytes large = concat({hex("30 83 10 00 6c 02 01 09 04 83 10 00 64"), value});
    std::thread sender([&] { send(concat({large, bind_response(4)})); });
    uint32_t length = 0;
    int32_t tag = next(&length);
    ASSERT_EQ(tag, 0x30);
    EXPECT_EQ(length, 0x10006cu);
    EXPECT_EQ(static_cast<size_t>(ber_.be_end - ber_.be_start), large.size());
    EXPECT_TRUE(std::equal(large.begin(), large.end(), ber_.be_start));
    EXPECT_EQ(next(&length), 0x30);
    EXPECT_EQ(message_id(), 4);
    sender.join();
}

TEST_F(SocketTransfer, PeerThatStopsMidMessageEndsAfterTheReadLimit) {
    ASSERT_EQ(qorhost_set_read_timeout_ms(200), 0);
    send(hex("30 0c 02 01 01 61"));
    uint32_t length = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(next(&length), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << "the read was not bounded";
    EXPECT_EQ(ber_.be_start, nullptr);
}

TEST_F(SocketTransfer, PeerThatClosesMidMessage) {
    send(hex("30 0c 02 01 01 61"));
    peer_.reset();
    uint32_t length = 0;
    EXPECT_EQ(next(&length), -1);
    EXPECT_EQ(ber_.be_start, nullptr);
}

TEST_F(SocketTransfer, ClaimedSizesAreCheckedBeforeAnythingIsAllocated) {
    ASSERT_EQ(qorhost_set_max_message(1000), 0);
    // Prime the read-ahead buffer, so that what follows allocates nothing more when refused.
    send(bind_response(1));
    uint32_t length = 0;
    ASSERT_EQ(next(&length), 0x30);
    release_message();
    long blocks = live_blocks();
    send(hex("30 82 07 d0 02 01 02"));   // 2004 bytes in all
    EXPECT_EQ(next(&length), -1);
    EXPECT_EQ(live_blocks(), blocks);
}

TEST_F(SocketTransfer, AHugeClaimIsRefusedAtOnce) {
    ASSERT_EQ(qorhost_set_read_timeout_ms(60000), 0);   // a wait for the claimed bytes would hang
    send(concat({bind_response(1), hex("30 84 7f ff ff f0 02 01 01")}));
    uint32_t length = 0;
    ASSERT_EQ(next(&length), 0x30);
    release_message();
    long allocations = qortest::pool_stats(pool_).allocations;
    EXPECT_EQ(next(&length), -1);
    EXPECT_EQ(qortest::pool_stats(pool_).allocations, allocations);
}

TEST_F(SocketTransfer, MalformedLengthsAreRefused) {
    for (const char *bytes : {"30 80 02 01 01 00 00", "30 85 00 00 00 00 03 02 01 01", "30 ff 02"}) {
        SCOPED_TRACE(bytes);
        send(hex(bytes));
        uint32_t length = 0;
        EXPECT_EQ(next(&length), -1);
        sb_.sb_input.be_pos = sb_.sb_input.be_end;   // drop what the refused message left
    }
}

TEST_F(SocketTransfer, AnyOuterTagIsHandedOut) {
    send(concat({hex("61 03 02 01 07"), bind_response(8)}));
    uint32_t length = 0;
    ASSERT_EQ(next(&length), 0x61);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(message_id(), 7);
    ASSERT_EQ(next(&length), 0x30);
    EXPECT_EQ(message_id(), 8);
}

TEST_F(SocketTransfer, FlushSendsTheElementAndReleasesIt) {
    BerElement *ber = writer();
    ASSERT_EQ(berprnt(ber, "{iti}", 3, 0x50, 2), 0);
    EXPECT_EQ(berflsh(&sb_, ber, 1), 0);
    uint8_t received[16];
    ASSERT_EQ(::recv(peer_.fd(), received, sizeof received, 0), 8);
    EXPECT_EQ(to_hex(Bytes(received, received + 8)), "30 06 02 01 03 50 01 02");
    EXPECT_EQ(live_blocks(), 0);   // element and buffer released (TearDown checks again)

    ber = writer();
    ASSERT_EQ(berprnt(ber, "{n}"), 0);
    EXPECT_EQ(berflsh(&sb_, ber, 0), 0);   // kept: the caller still owns it
    ASSERT_EQ(::recv(peer_.fd(), received, sizeof received, 0), 4);
    EXPECT_EQ(to_hex(Bytes(received, received + 4)), "30 02 05 00");
    berfree(ber, 1);
}

TEST_F(SocketTransfer, FlushRefusesBrokenElementsAndReportsSocketFailure) {
    BerElement *ber = writer();
    ASSERT_EQ(berprnt(ber, "{i", 1), 0);
    EXPECT_NE(berflsh(&sb_, ber, 1), 0);   // still open: not a message
    EXPECT_EQ(berprnt(ber, "]"), -1);
    EXPECT_EQ(berprnt(ber, "}"), -1);
    EXPECT_NE(berflsh(&sb_, ber, 1), 0);   // a write failed: not a message either
    berfree(ber, 1);

    ber = writer();
    ASSERT_EQ(berprnt(ber, "{}"), 0);
    ASSERT_EQ(wqsclos(handle_), 0);
    EXPECT_NE(berflsh(&sb_, ber, 1), 0);
    handle_ = 0;
    berfree(ber, 1);   // a failed flush leaves the element with its caller

    uint8_t byte;
    EXPECT_EQ(::recv(peer_.fd(), &byte, 1, 0), 0) << "nothing may have been sent";
}

}  // namespace
}  // namespace codectest
