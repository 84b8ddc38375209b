// Cost of the BER codec on what the client sends and receives most: a search entry (a DN and ten
// attributes of one to three values) and a message carrying one large value. Encoding writes the
// whole message with berprnt; decoding walks it the way the client does (attribute names with
// "{x{{sx}" then "{sx}", values with "[v]" on a copy). The size sweeps show that the cost grows
// linearly with the size of the value.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "abi/ber_records.h"
#include "module/host/services.h"
#include "tests/support/runtime.h"

namespace {

// One pool for the whole program; every iteration gives back what it took.
HostPool *bench_pool() {
    static HostPool *pool = [] {
        HostPool *made = nullptr;
        if (qortest::load_status() != 0 || wmtpc(&made, 4096, 1024, 258, 0) != 0) return static_cast<HostPool *>(nullptr);
        return made;
    }();
    return pool;
}

struct Attribute {
    std::string type;
    std::vector<std::string> values;
};

// A typical directory entry: ten attributes of one to three values.
const std::vector<Attribute> &typical_attributes() {
    static const std::vector<Attribute> attributes = {
        {"objectClass", {"top", "person", "inetOrgPerson"}},
        {"cn", {"Barbara Jensen", "Babs Jensen"}},
        {"sn", {"Jensen"}},
        {"givenName", {"Barbara"}},
        {"mail", {"bjensen@example.com", "barbara.jensen@example.com"}},
        {"telephoneNumber", {"+1 408 555 1862", "+1 408 555 1992", "+1 408 555 0111"}},
        {"title", {"Product Development Manager"}},
        {"ou", {"Product Development", "People"}},
        {"uid", {"bjensen"}},
        {"description", {"Works on directory products; prefers email to phone calls."}},
    };
    return attributes;
}

const char kDn[] = "uid=bjensen,ou=People,o=example";

// Writes a searchResEntry message for `attributes` into a new element; null on failure.
BerElement *encode_entry(const std::vector<Attribute> &attributes) {
    BerElement *ber = berallt(bench_pool(), 0);
    if (ber == nullptr || berprnt(ber, "{it{s{", 7, 0x64, kDn) != 0) return ber;
    for (const Attribute &attribute : attributes) {
        std::vector<const char *> values;
        for (const std::string &value : attribute.values) values.push_back(value.c_str());
        values.push_back(nullptr);
        if (berprnt(ber, "{s[v]}", attribute.type.c_str(), values.data()) != 0) return ber;
    }
    berprnt(ber, "}}}");
    return ber;
}

// Reads the message in `ber` (rewound) the way the client does; answers the values seen.
int64_t decode_entry(BerElement *ber) {
    HostPool *pool = bench_pool();
    BerElement message = *ber;
    uint32_t length = 0;
    int32_t id = 0;
    if (bersktg(&message, &length) != 0x30 || bergint(&message, &id) == -1) return -1;
    char *dn = nullptr;
    BerElement dn_reader = message;
    if (berscan(&dn_reader, "{a", &dn) == -1) return -1;
    pool->release(pool, dn, 0, 4);
    int64_t seen = 0;
    BerElement walk = message;
    char type[100];
    int32_t size = sizeof type;
    for (int32_t tag = berscan(&walk, "{x{{sx}", type, &size); tag != -1; tag = berscan(&walk, "{sx}", type, &size)) {
        // The value lookup: from the start of the entry to the attribute, then its values.
        BerElement lookup = message;
        char found[100];
        int32_t found_size = sizeof found;
        int32_t scanned = berscan(&lookup, "{x{{s", found, &found_size);
        while (scanned != -1 && std::string(found) != type) {
            found_size = sizeof found;
            scanned = berscan(&lookup, "x}{s", found, &found_size);
        }
        char **values = nullptr;
        if (scanned == -1 || berscan(&lookup, "[v]", &values) == -1) return -1;
        for (char **at = values; *at != nullptr; ++at, ++seen) pool->release(pool, *at, 0, 4);
        pool->release(pool, values, 0, 4);
        size = sizeof type;
    }
    return seen;
}

void BM_EncodeEntry(benchmark::State &state) {
    int64_t bytes = 0;
    for (auto _ : state) {
        BerElement *ber = encode_entry(typical_attributes());
        if (ber == nullptr || ber->be_start == nullptr) {
            state.SkipWithError("encoding failed");
            break;
        }
        bytes += ber->be_pos - ber->be_start;
        berfree(ber, 1);
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_EncodeEntry);

void BM_DecodeEntry(benchmark::State &state) {
    BerElement *ber = encode_entry(typical_attributes());
    if (ber == nullptr) {
        state.SkipWithError("encoding failed");
        return;
    }
    berrest(ber, 1);
    int64_t expected = 0;
    for (const Attribute &attribute : typical_attributes()) expected += static_cast<int64_t>(attribute.values.size());
    int64_t values = 0;
    for (auto _ : state) {
        int64_t seen = decode_entry(ber);
        if (seen != expected) {
            state.SkipWithError("decoding failed");
            break;
        }
        values += seen;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (ber->be_end - ber->be_start));
    state.counters["values"] = benchmark::Counter(static_cast<double>(values), benchmark::Counter::kIsRate);
    berfree(ber, 1);
}
BENCHMARK(BM_DecodeEntry);

// An entry with one value of state.range(0) bytes (the large-value case: 1 MiB and around it).
std::vector<Attribute> one_large_value(int64_t size) {
    return {{"jpegPhoto", {std::string(static_cast<size_t>(size), 'p')}}};
}

void BM_EncodeLargeValue(benchmark::State &state) {
    const std::vector<Attribute> attributes = one_large_value(state.range(0));
    for (auto _ : state) {
        BerElement *ber = encode_entry(attributes);
        if (ber == nullptr || ber->be_start == nullptr) {
            state.SkipWithError("encoding failed");
            break;
        }
        berfree(ber, 1);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_EncodeLargeValue)->RangeMultiplier(4)->Range(16 << 10, 4 << 20)->Complexity(benchmark::oN);

void BM_DecodeLargeValue(benchmark::State &state) {
    BerElement *ber = encode_entry(one_large_value(state.range(0)));
    if (ber == nullptr) {
        state.SkipWithError("encoding failed");
        return;
    }
    berrest(ber, 1);
    for (auto _ : state) {
        if (decode_entry(ber) != 1) {
            state.SkipWithError("decoding failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.SetComplexityN(state.range(0));
    berfree(ber, 1);
}
BENCHMARK(BM_DecodeLargeValue)->RangeMultiplier(4)->Range(16 << 10, 4 << 20)->Complexity(benchmark::oN);

}  // namespace
