// LDAP messages built with the test-side BER writer: the answers a scripted server sends and the
// requests a test expects from the client. Each function returns one whole message
// (SEQUENCE { messageID, protocolOp }); concatenate several to send them in one write.
//
// Values are std::string so that binary values (any byte, NUL included) fit as well as text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/ber_builder.h"

namespace qortest::ldap {

// Protocol-operation tags.
namespace op {
inline constexpr std::uint8_t bind_request = 0x60;
inline constexpr std::uint8_t bind_response = 0x61;
inline constexpr std::uint8_t unbind_request = 0x42;
inline constexpr std::uint8_t search_request = 0x63;
inline constexpr std::uint8_t search_entry = 0x64;
inline constexpr std::uint8_t search_done = 0x65;
inline constexpr std::uint8_t modify_request = 0x66;
inline constexpr std::uint8_t modify_response = 0x67;
inline constexpr std::uint8_t add_request = 0x68;
inline constexpr std::uint8_t add_response = 0x69;
inline constexpr std::uint8_t delete_request = 0x4a;
inline constexpr std::uint8_t delete_response = 0x6b;
inline constexpr std::uint8_t compare_request = 0x6e;
inline constexpr std::uint8_t compare_response = 0x6f;
inline constexpr std::uint8_t abandon_request = 0x50;
inline constexpr std::uint8_t search_reference = 0x73;
inline constexpr std::uint8_t extended_response = 0x78;
inline constexpr std::uint8_t intermediate_response = 0x79;
}  // namespace op

// Result codes the tests script most often.
namespace code {
inline constexpr int success = 0;
inline constexpr int protocol_error = 2;
inline constexpr int time_limit_exceeded = 3;
inline constexpr int size_limit_exceeded = 4;
inline constexpr int compare_false = 5;
inline constexpr int compare_true = 6;
inline constexpr int partial_results = 9;  // version-2 referral marker
inline constexpr int referral = 10;        // version-3 referral
inline constexpr int no_such_attribute = 16;
inline constexpr int no_such_object = 32;
inline constexpr int invalid_credentials = 49;
inline constexpr int insufficient_access = 50;
inline constexpr int busy = 51;
inline constexpr int unavailable = 52;
inline constexpr int already_exists = 68;
}  // namespace code

// An attribute with its values, as in a search entry or an add request.
struct Attribute {
    std::string type;
    std::vector<std::string> values;
};

// ---- Server answers -------------------------------------------------------------------------

// Any result message: [op] SEQUENCE-like element holding code, matched DN, error text and, when
// `referrals` is not empty, the referral field [3] (0xA3) with one URL per element.
Bytes result(std::int64_t id, std::uint8_t op, int result_code, std::string_view matched = "",
             std::string_view text = "", const std::vector<std::string> &referrals = {});

Bytes bind_response(std::int64_t id, int result_code, std::string_view matched = "", std::string_view text = "");
Bytes search_done(std::int64_t id, int result_code, std::string_view matched = "", std::string_view text = "",
                  const std::vector<std::string> &referrals = {});
Bytes modify_response(std::int64_t id, int result_code, std::string_view matched = "", std::string_view text = "");
Bytes add_response(std::int64_t id, int result_code, std::string_view matched = "", std::string_view text = "");
Bytes delete_response(std::int64_t id, int result_code, std::string_view matched = "", std::string_view text = "");
Bytes compare_response(std::int64_t id, int result_code, std::string_view matched = "", std::string_view text = "");

// A search entry: DN and attributes in the given order (an attribute may have no values).
Bytes search_entry(std::int64_t id, std::string_view dn, const std::vector<Attribute> &attributes);

// A version-3 search result reference (0x73) carrying the URLs.
Bytes search_reference(std::int64_t id, const std::vector<std::string> &urls);

// An intermediate response (0x79) with an optional name [0] and value [1]; empty means absent.
Bytes intermediate_response(std::int64_t id, std::string_view name = "", std::string_view value = "");

// An extended response (0x78): result fields, then the optional name [10] and value [11].
Bytes extended_response(std::int64_t id, int result_code, std::string_view matched, std::string_view text,
                        std::string_view name = "", std::string_view value = "");

// The unsolicited notice of disconnection: id 0, extended response named 1.3.6.1.4.1.1466.20036.
Bytes notice_of_disconnection(int result_code = code::unavailable, std::string_view text = "");

// ---- Controls (version 3) ------------------------------------------------------------------------

// One control: its OID and its value, when it has one; criticality is never sent (FALSE).
struct Control {
    std::string oid;
    std::optional<Bytes> value;
};
inline const std::string manage_dsa_it_oid = "2.16.840.1.113730.3.4.2";
inline const std::string paged_results_oid = "1.2.840.113556.1.4.319";

// `message` (as the other helpers build it) with the controls field [0] after its operation.
Bytes with_controls(const Bytes &message, const std::vector<Control> &controls);
// The paged-results control with page size `size` and `cookie` (requests and results alike).
Control paged_results(std::int64_t size, std::string_view cookie);

// ---- Client requests --------------------------------------------------------------------------

// Simple bind: version, DN and password [0].
Bytes bind_request(std::int64_t id, int version, std::string_view dn, std::string_view password);
Bytes unbind_request(std::int64_t id);
Bytes abandon_request(std::int64_t id, std::int64_t abandoned_id);
Bytes delete_request(std::int64_t id, std::string_view dn);
Bytes compare_request(std::int64_t id, std::string_view dn, std::string_view type, std::string_view value);
Bytes add_request(std::int64_t id, std::string_view dn, const std::vector<Attribute> &attributes);
// ModifyDN: entry, new RDN, delete-old-RDN flag and, when given, the new superior [0].
Bytes rename_request(std::int64_t id, std::string_view dn, std::string_view new_rdn, bool delete_old_rdn,
                     std::optional<std::string> new_superior = std::nullopt);

// One change of a modify request: operation 0 add, 1 delete, 2 replace.
struct Modification {
    int operation = 0;
    Attribute attribute;
};
Bytes modify_request(std::int64_t id, std::string_view dn, const std::vector<Modification> &changes);

// The fields of a search request; scope 0 base, 1 one level, 2 subtree.
struct Search {
    std::string base;
    int scope = 2;
    int deref = 0;
    std::int64_t size_limit = 0;
    std::int64_t time_limit = 0;
    bool types_only = false;
    Bytes filter;                     // an element from the filter helpers below
    std::vector<std::string> attributes;
};
Bytes search_request(std::int64_t id, const Search &search);

// Search filter elements.
namespace filter {
Bytes and_of(const std::vector<Bytes> &filters);
Bytes or_of(const std::vector<Bytes> &filters);
Bytes not_of(const Bytes &filter);
Bytes equal(std::string_view type, std::string_view value);
Bytes greater_or_equal(std::string_view type, std::string_view value);
Bytes less_or_equal(std::string_view type, std::string_view value);
Bytes approx(std::string_view type, std::string_view value);
Bytes present(std::string_view type);
// Substrings: empty initial or final means absent; `any` pieces in order.
Bytes substrings(std::string_view type, std::string_view initial, const std::vector<std::string> &any,
                 std::string_view final_part);
}  // namespace filter

}  // namespace qortest::ldap
