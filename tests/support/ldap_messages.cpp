#include "tests/support/ldap_messages.h"

namespace qortest::ldap {

using namespace qortest::ber;

namespace {

Bytes message(std::int64_t id, const Bytes &operation) { return sequence({integer(id), operation}); }

std::vector<Bytes> result_fields(int result_code, std::string_view matched, std::string_view text,
                                 const std::vector<std::string> &referrals) {
    std::vector<Bytes> fields{enumerated(result_code), octets(matched), octets(text)};
    if (!referrals.empty()) {
        std::vector<Bytes> urls;
        for (const std::string &url : referrals) urls.push_back(octets(url));
        fields.push_back(constructed(0xa3, urls));
    }
    return fields;
}

Bytes attribute_list(const std::vector<Attribute> &attributes) {
    std::vector<Bytes> list;
    for (const Attribute &a : attributes) {
        std::vector<Bytes> values;
        for (const std::string &v : a.values) values.push_back(octets(v));
        list.push_back(sequence({octets(a.type), set(values)}));
    }
    return sequence(list);
}

Bytes assertion(std::uint8_t tag, std::string_view type, std::string_view value) {
    return constructed(tag, {octets(type), octets(value)});
}

}  // namespace

Bytes result(std::int64_t id, std::uint8_t op, int result_code, std::string_view matched, std::string_view text,
             const std::vector<std::string> &referrals) {
    return message(id, constructed(op, result_fields(result_code, matched, text, referrals)));
}

Bytes bind_response(std::int64_t id, int result_code, std::string_view matched, std::string_view text) {
    return result(id, op::bind_response, result_code, matched, text);
}

Bytes search_done(std::int64_t id, int result_code, std::string_view matched, std::string_view text,
                  const std::vector<std::string> &referrals) {
    return result(id, op::search_done, result_code, matched, text, referrals);
}

Bytes modify_response(std::int64_t id, int result_code, std::string_view matched, std::string_view text) {
    return result(id, op::modify_response, result_code, matched, text);
}

Bytes add_response(std::int64_t id, int result_code, std::string_view matched, std::string_view text) {
    return result(id, op::add_response, result_code, matched, text);
}

Bytes delete_response(std::int64_t id, int result_code, std::string_view matched, std::string_view text) {
    return result(id, op::delete_response, result_code, matched, text);
}

Bytes compare_response(std::int64_t id, int result_code, std::string_view matched, std::string_view text) {
    return result(id, op::compare_response, result_code, matched, text);
}

Bytes search_entry(std::int64_t id, std::string_view dn, const std::vector<Attribute> &attributes) {
    return message(id, constructed(op::search_entry, {octets(dn), attribute_list(attributes)}));
}

Bytes search_reference(std::int64_t id, const std::vector<std::string> &urls) {
    std::vector<Bytes> parts;
    for (const std::string &url : urls) parts.push_back(octets(url));
    return message(id, constructed(op::search_reference, parts));
}

Bytes intermediate_response(std::int64_t id, std::string_view name, std::string_view value) {
    std::vector<Bytes> parts;
    if (!name.empty()) parts.push_back(octets(name, 0x80));
    if (!value.empty()) parts.push_back(octets(value, 0x81));
    return message(id, constructed(op::intermediate_response, parts));
}

Bytes extended_response(std::int64_t id, int result_code, std::string_view matched, std::string_view text,
                        std::string_view name, std::string_view value) {
    std::vector<Bytes> parts = result_fields(result_code, matched, text, {});
    if (!name.empty()) parts.push_back(octets(name, 0x8a));
    if (!value.empty()) parts.push_back(octets(value, 0x8b));
    return message(id, constructed(op::extended_response, parts));
}

Bytes notice_of_disconnection(int result_code, std::string_view text) {
    return extended_response(0, result_code, "", text, "1.3.6.1.4.1.1466.20036");
}

Bytes bind_request(std::int64_t id, int version, std::string_view dn, std::string_view password) {
    return message(id, constructed(op::bind_request, {integer(version), octets(dn), octets(password, 0x80)}));
}

Bytes unbind_request(std::int64_t id) { return message(id, null(op::unbind_request)); }

Bytes abandon_request(std::int64_t id, std::int64_t abandoned_id) {
    return message(id, integer(abandoned_id, op::abandon_request));
}

Bytes delete_request(std::int64_t id, std::string_view dn) { return message(id, octets(dn, op::delete_request)); }

Bytes compare_request(std::int64_t id, std::string_view dn, std::string_view type, std::string_view value) {
    return message(id, constructed(op::compare_request, {octets(dn), sequence({octets(type), octets(value)})}));
}

Bytes add_request(std::int64_t id, std::string_view dn, const std::vector<Attribute> &attributes) {
    return message(id, constructed(op::add_request, {octets(dn), attribute_list(attributes)}));
}

Bytes modify_request(std::int64_t id, std::string_view dn, const std::vector<Modification> &changes) {
    std::vector<Bytes> list;
    for (const Modification &m : changes) {
        std::vector<Bytes> values;
        for (const std::string &v : m.attribute.values) values.push_back(octets(v));
        list.push_back(sequence({enumerated(m.operation), sequence({octets(m.attribute.type), set(values)})}));
    }
    return message(id, constructed(op::modify_request, {octets(dn), sequence(list)}));
}

Bytes with_controls(const Bytes &message, const std::vector<Control> &controls) {
    const std::size_t header = message.at(1) < 0x80 ? 2 : 2 + (message[1] & 0x7f);
    std::vector<Bytes> list;
    for (const Control &c : controls) {
        list.push_back(c.value ? sequence({octets(c.oid), octets(std::span<const std::uint8_t>(*c.value))})
                               : sequence({octets(c.oid)}));
    }
    return sequence({Bytes(message.begin() + static_cast<std::ptrdiff_t>(header), message.end()), constructed(0xa0, list)});
}

Control paged_results(std::int64_t size, std::string_view cookie) {
    return {paged_results_oid, sequence({integer(size), octets(cookie)})};
}

Bytes rename_request(std::int64_t id, std::string_view dn, std::string_view new_rdn, bool delete_old_rdn,
                     std::optional<std::string> new_superior) {
    std::vector<Bytes> fields{octets(dn), octets(new_rdn), boolean(delete_old_rdn)};
    if (new_superior) fields.push_back(octets(*new_superior, 0x80));
    return message(id, constructed(0x6c, fields));
}

Bytes search_request(std::int64_t id, const Search &s) {
    std::vector<Bytes> attrs;
    for (const std::string &a : s.attributes) attrs.push_back(octets(a));
    return message(id, constructed(op::search_request,
                                   {octets(s.base), enumerated(s.scope), enumerated(s.deref), integer(s.size_limit),
                                    integer(s.time_limit), boolean(s.types_only), s.filter, sequence(attrs)}));
}

namespace filter {

Bytes and_of(const std::vector<Bytes> &filters) { return constructed(0xa0, filters); }
Bytes or_of(const std::vector<Bytes> &filters) { return constructed(0xa1, filters); }
Bytes not_of(const Bytes &filter) { return constructed(0xa2, {filter}); }
Bytes equal(std::string_view type, std::string_view value) { return assertion(0xa3, type, value); }
Bytes greater_or_equal(std::string_view type, std::string_view value) { return assertion(0xa5, type, value); }
Bytes less_or_equal(std::string_view type, std::string_view value) { return assertion(0xa6, type, value); }
Bytes approx(std::string_view type, std::string_view value) { return assertion(0xa8, type, value); }
Bytes present(std::string_view type) { return octets(type, 0x87); }

Bytes substrings(std::string_view type, std::string_view initial, const std::vector<std::string> &any,
                 std::string_view final_part) {
    std::vector<Bytes> pieces;
    if (!initial.empty()) pieces.push_back(octets(initial, 0x80));
    for (const std::string &a : any) pieces.push_back(octets(a, 0x81));
    if (!final_part.empty()) pieces.push_back(octets(final_part, 0x82));
    return constructed(0xa4, {octets(type), sequence(pieces)});
}

}  // namespace filter
}  // namespace qortest::ldap
