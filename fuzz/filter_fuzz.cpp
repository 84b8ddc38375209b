// The string filter encoder: arbitrary text as the filter of a search request.
//   - ldap_build_search_req answers a request or null with a filter error (87), or with 83 or 90
//     while allocations fail; the caller's text is never changed; an empty or blank text is
//     refused;
//   - a request is one well-formed element (shortest lengths, constructed elements exactly
//     filled) whose filter part is what put_filter writes for the same text and whose attribute
//     list is the one asked for;
//   - the filter is the one the filter rules, read plainly by a second encoder, give for the text
//     (where the string translator leaves strings as they are), and a text the rules take is
//     taken;
//   - the in-place encoders (put_filter, put_filter_list, put_complex_filter, put_simple_filter)
//     and find_right_paren give back their text byte for byte, whatever they answer;
//   - nothing stays allocated.
// The first input byte: bit 0 attributes only, bit 1 host encoding ISO-8859-1 (else UTF-8, so
// texts that are not UTF-8 fail in the string translator), bits 2-7 the allocation to fail.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/support/ber_check.h"
#include "fuzz/support/filter_reference.h"
#include "fuzz/support/runtime.h"
#include "module/client/client.h"
#include "module/host/services.h"
#include "qorldap/qorhost.h"

namespace {

using qorfuzz::BerHeader;
using qorfuzz::fail;

LDAP *session = nullptr;
char *attributes[] = {const_cast<char *>("cn"), const_cast<char *>("mail"), nullptr};

std::vector<std::uint8_t> written(const BerElement *ber) {
    if (ber->be_start == nullptr) return {};
    return std::vector<std::uint8_t>(ber->be_start, ber->be_pos);
}

// The filter element(s) of a search request, after checking the rest of its layout.
std::vector<std::uint8_t> filter_of_request(const std::vector<std::uint8_t> &request, int32_t attrsonly) {
    std::string problem = qorfuzz::check_ber(request.data(), request.size());
    if (!problem.empty()) fail("search request is not well-formed BER: %s", problem.c_str());
    BerHeader message;
    if (!qorfuzz::read_ber_header(request.data(), request.size(), &message) || message.tag != 0x30 ||
        message.header_size + message.length != request.size()) {
        fail("search request is not one SEQUENCE");
    }
    const std::uint8_t *at = request.data() + message.header_size;
    const std::uint8_t *end = at + message.length;
    BerHeader item;
    auto next = [&](std::uint32_t tag, const char *what) {
        if (!qorfuzz::read_ber_header(at, static_cast<size_t>(end - at), &item) || item.tag != tag) {
            fail("search request: %s missing", what);
        }
    };
    next(0x02, "message id");
    at += item.header_size + item.length;
    next(0x63, "search operation");
    end = at + item.header_size + item.length;
    at += item.header_size;
    const std::uint32_t header_tags[] = {0x04, 0x0A, 0x0A, 0x02, 0x02, 0x01};
    for (std::uint32_t tag : header_tags) {
        next(tag, "search parameter");
        if (tag == 0x01 && (item.length != 1 || (at[item.header_size] != 0) != (attrsonly != 0))) {
            fail("search request: attributes-only flag wrong");
        }
        at += item.header_size + item.length;
    }
    const std::uint8_t *filter = at;
    const std::uint8_t *last = nullptr;
    while (at < end) {
        if (!qorfuzz::read_ber_header(at, static_cast<size_t>(end - at), &item)) fail("search request: bad element");
        last = at;
        at += item.header_size + item.length;
    }
    if (last == nullptr) fail("search request: no attribute list");
    const std::vector<std::uint8_t> expected_attributes = {0x30, 0x0A, 0x04, 0x02, 'c', 'n', 0x04, 0x04, 'm', 'a', 'i', 'l'};
    if (static_cast<size_t>(end - last) != expected_attributes.size() ||
        memcmp(last, expected_attributes.data(), expected_attributes.size()) != 0) {
        fail("search request: attribute list is not the one asked for");
    }
    for (const std::uint8_t *f = filter; f < last; f += item.header_size + item.length) {
        qorfuzz::read_ber_header(f, static_cast<size_t>(last - f), &item);
        const bool known = item.tag == 0x87 || (item.tag >= 0xA0 && item.tag <= 0xA9 && item.tag != 0xA7);
        if (!known) fail("search request: filter element with tag 0x%X", item.tag);
    }
    return std::vector<std::uint8_t>(filter, last);
}

bool is_space(unsigned char c) {
    const auto *classes = reinterpret_cast<const std::uint8_t *const *>(qorhost_control_block())[kGcbCharClass];
    return (classes[c] & kCharClassSpace) != 0;
}

// True when the text holds nothing but blanks and white space.
bool names_no_filter(const std::string &text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || is_space(static_cast<unsigned char>(c)); });
}

bool ascii(const std::string &text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// A NUL-terminated pool copy of `text`, as the in-place encoders expect.
char *pool_copy(const std::string &text) {
    auto *copy = static_cast<char *>(session->ld_pool->allocate(session->ld_pool, static_cast<int32_t>(text.size() + 1), 6));
    if (copy != nullptr) memcpy(copy, text.data(), text.size());
    return copy;
}

void release(void *block) {
    if (block != nullptr) session->ld_pool->release(session->ld_pool, block, 0, 4);
}

// Runs one in-place encoder on a copy of `text` and checks the copy is given back unchanged.
template <typename Encode>
void check_restored(const std::string &text, const char *what, Encode encode) {
    char *copy = pool_copy(text);
    if (copy == nullptr) return;
    BerElement *scratch = alloc_ber_with_options(session);
    if (scratch != nullptr) {
        encode(scratch, copy);
        berfree(scratch, 1);
    }
    if (memcmp(copy, text.c_str(), text.size() + 1) != 0) fail("%s did not give its text back unchanged", what);
    release(copy);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qorfuzz::start_runtime();
    session = ldap_init(nullptr, 0);
    if (session == nullptr) fail("ldap_init failed");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const int32_t attrsonly = data[0] & 0x01;
    const bool utf8_host = (data[0] & 0x02) == 0;
    qorhost_set_encoding(utf8_host ? 20 : 1);
    const long fail_at = data[0] >> 2;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    text = text.substr(0, text.find('\0'));
    const std::string original = text;
    const long blocks_before = qorfuzz::live_blocks(session->ld_pool);

    {
        BerElement *request = nullptr;
        bool faults_injected = false;
        {
            qorfuzz::AllocationFaults faults(fail_at, false);
            request = ldap_build_search_req(session, "o=example", LDAP_SCOPE_SUBTREE, text.c_str(), attributes, attrsonly);
            faults_injected = qorhost_failures_injected() != 0;
        }
        if (text != original) fail("ldap_build_search_req changed the caller's text");
        // A search needs a filter element: a text that names none is refused before the rules apply.
        const std::optional<std::vector<std::uint8_t>> reference =
            names_no_filter(text) ? std::nullopt : qorfuzz::reference_filter(text, is_space);
        if (request == nullptr && !faults_injected && reference && ascii(text)) {
            fail("the filter rules take this text, ldap_build_search_req refused it (ld_errno %d)", session->ld_errno);
        }
        if (request == nullptr) {
            const int32_t error = session->ld_errno;
            const bool expected = error == LDAP_FILTER_ERROR ||
                                  (faults_injected && (error == LDAP_ENCODING_ERROR || error == LDAP_NO_MEMORY));
            if (!expected) fail("ldap_build_search_req failed with ld_errno %d", error);
        } else {
            if (faults_injected) fail("ldap_build_search_req built a request although an allocation failed");
            const std::vector<std::uint8_t> filter = filter_of_request(written(request), attrsonly);
            berfree(request, 1);
            // Strings pass the translator unchanged when the host writes UTF-8, or the text is ASCII.
            if (!reference) fail("ldap_build_search_req took a text that the filter rules refuse");
            if ((utf8_host || ascii(text)) && *reference != filter) fail("the filter differs from what the filter rules give");

            // The same text through put_filter alone writes the same filter.
            char *copy = pool_copy(text);
            BerElement *alone = alloc_ber_with_options(session);
            if (copy == nullptr || alone == nullptr) fail("no memory for the comparison");
            if (put_filter(alone, copy) != 0) fail("put_filter refused a filter that the search request took");
            if (written(alone) != filter) fail("put_filter wrote another filter than the search request carries");
            berfree(alone, 1);
            release(copy);
        }
    }

    check_restored(text, "put_filter", [](BerElement *ber, char *copy) { put_filter(ber, copy); });
    check_restored(text, "put_filter_list", [](BerElement *ber, char *copy) { put_filter_list(ber, copy); });
    check_restored(text, "put_simple_filter", [](BerElement *ber, char *copy) { put_simple_filter(ber, copy); });
    if (!text.empty() && (text[0] == '&' || text[0] == '|' || text[0] == '!')) {
        check_restored(text, "put_complex_filter", [](BerElement *ber, char *copy) {
            char *after = put_complex_filter(ber, copy, 0xA0);
            if (after != nullptr && (after <= copy || after[-1] != ')')) fail("put_complex_filter answered a wrong position");
        });
    }
    check_restored(text, "find_right_paren", [](BerElement *, char *copy) {
        char *close = find_right_paren(copy);
        if (close != nullptr && *close != ')') fail("find_right_paren answered a position that holds no \")\"");
    });

    qorhost_set_encoding(20);
    const long blocks_after = qorfuzz::live_blocks(session->ld_pool);
    if (blocks_after != blocks_before) fail("the filter encoders left %ld blocks in the pool", blocks_after - blocks_before);
    return 0;
}
