// Shared fixture of the codec tests: the runtime with the directory module loaded (which
// installs the codec as module 18), the program's pool, and byte helpers. The tests reach the
// codec through the directory module's stubs, the way the protocol client does.
//
// Every test must give back everything it took: TearDown fails a test that leaves more blocks in
// the pool than it found, so each test doubles as a leak check of the paths it runs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "abi/ber_records.h"
#include "module/host/services.h"
#include "qorldap/qorhost.h"
#include "qorldap/qorldap.h"
#include "tests/support/ber_builder.h"
#include "tests/support/runtime.h"

namespace codectest {

using qortest::Bytes;

class CodecTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Blocks taken by the test and not yet released.
    long live_blocks() const;

    // A new element of the test's pool holding `bytes`, rewound for reading from its start.
    BerElement *reader(const Bytes &bytes);

    // A new, empty element of the test's pool ready for writing.
    BerElement *writer();

    // Give back what a read allocated: a text (an "a" item or bergstr), a "[v]" array with its
    // texts, a "[V]" array with its values and their bytes.
    void release(void *block);
    void release_texts(char **texts);
    void release_values(berval **values);

    HostPool *pool_ = nullptr;

private:
    long blocks_before_ = 0;
};

// The bytes written so far into an element: [be_start, be_pos).
Bytes written(const BerElement *ber);

// `count` copies of `byte`.
Bytes repeated(std::size_t count, std::uint8_t byte);

// The same as a NUL-terminated text.
std::string repeated_text(std::size_t count, char c);

}  // namespace codectest
