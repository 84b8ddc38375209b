// Search requests: built from a filter text or from a filter writer, sent, and waited for.
#include "../host/services.h"
#include "client.h"
#include "engine.h"
#include "ldfilter.h"
#include "ldops.h"

namespace {

// The time limit a search asks of the server: whole seconds on the wire, rounded up from the
// session's milliseconds so that a limit below a second still limits; 0 asks for none.
int32_t time_limit_seconds(int32_t milliseconds) {
    if (milliseconds <= 0) return 0;
    return milliseconds / 1000 + (milliseconds % 1000 != 0 ? 1 : 0);
}

// A search request under a new message id:
//   SEQUENCE { id, [APPLICATION 3] { base, ENUMERATED scope, ENUMERATED ld_deref,
//              ld_sizelimit, time limit, BOOLEAN attrsonly, filter, SEQUENCE { attrs } } }
// with the filter element(s) that `write` puts in. Null with ld_errno set on failure (90 no
// element, 83 header or attribute list, else the writer's code); the id then stays used.
BerElement *build_search(LDAP *ld, const char *base, int32_t scope, FilterWriter write, const void *context,
                         char **attrs, int32_t attrsonly) {
    BerElement *ber = alloc_ber_with_options(ld);
    if (ber == nullptr) {
        return nullptr;
    }
    const int32_t msgid = ++ld->ld_last_msgid;
    if (berprnt(ber, "{it{seeiib", msgid, LDAP_REQ_SEARCH, base != nullptr ? base : "", scope, ld->ld_deref,
                ld->ld_sizelimit, time_limit_seconds(ld->ld_timelimit), attrsonly) == -1) {
        qor::discard_request(ld, ber, LDAP_ENCODING_ERROR);
        return nullptr;
    }
    const int32_t fault = write(ber, context);
    if (fault != 0) {
        qor::discard_request(ld, ber, fault > 0 ? fault : LDAP_FILTER_ERROR);
        return nullptr;
    }
    if (berprnt(ber, "{v}}", attrs) == -1 || qor::close_request(ld, ber, qor::ControlsFor::kSearch) != 0) {
        qor::discard_request(ld, ber, LDAP_ENCODING_ERROR);
        return nullptr;
    }
    return ber;
}

// Sends a built search request (ownership passes); its message id, or -1 with ld_errno set.
// With a result cache the request may be answered from it: its results are then queued under
// the new id and nothing is sent.
int32_t start_search(LDAP *ld, BerElement *ber, const char *base) {
    if (ber == nullptr) {
        return -1;
    }
    if (ld->ld_result_cache != nullptr) {
        if (check_cache(ld, LDAP_REQ_SEARCH, ber) == 0) {
            berfree(ber, qor::kWithBuffer);
            ld->ld_errno = LDAP_SUCCESS;
            return ld->ld_last_msgid;
        }
        add_request_to_cache(ld, LDAP_REQ_SEARCH, ber);
    }
    const int32_t msgid = send_initial_request(ld, LDAP_REQ_SEARCH, base, ber);
    if (msgid == -1 && ld->ld_result_cache != nullptr) ldap_uncache_request(ld, ld->ld_last_msgid);
    return msgid;
}

// A call without what it needs: LDAP_PARAM_ERROR, also left in ld_errno.
int32_t parameter_error(LDAP *ld) {
    ld->ld_errno = LDAP_PARAM_ERROR;
    return LDAP_PARAM_ERROR;
}

// Builds and sends a search: its message id, or -1 with ld_errno set (see start_search).
int32_t send_search(LDAP *ld, const char *base, int32_t scope, FilterWriter write, const void *context, char **attrs,
                    int32_t attrsonly) {
    return start_search(ld, build_search(ld, base, scope, write, context, attrs, attrsonly), base);
}

// Builds, sends and waits for a whole search; the chain is left in *result for the caller.
int32_t search_and_wait(LDAP *ld, const char *base, int32_t scope, FilterWriter write, const void *context,
                        char **attrs, int32_t attrsonly, LDAPMessage **result) {
    if (result == nullptr) return parameter_error(ld);
    const int32_t msgid = send_search(ld, base, scope, write, context, attrs, attrsonly);
    return qor::await_result_code(ld, msgid, ld->ld_timelimit, result);
}

}  // namespace

namespace qor {

int32_t search_entries_s(LDAP *ld, const char *base, int32_t scope, FilterWriter write, const void *context,
                         char **attrs, EntryReceiver receiver, LDAPMessage **final) {
    *final = nullptr;
    if (write == nullptr) return parameter_error(ld);
    const int32_t msgid = send_search(ld, base, scope, write, context, attrs, 0);
    return await_search_entries(ld, msgid, ld->ld_timelimit, receiver, final);
}

}  // namespace qor

BerElement *ldap_build_search_req(LDAP *ld, const char *base, int32_t scope, const char *filter, char **attrs,
                                  int32_t attrsonly) {
    return build_search(ld, base, scope, write_string_filter, filter, attrs, attrsonly);
}

int32_t ldap_search(LDAP *ld, const char *base, int32_t scope, const char *filter, char **attrs, int32_t attrsonly) {
    return send_search(ld, base, scope, write_string_filter, filter, attrs, attrsonly);
}

int32_t ldap_search_s(LDAP *ld, const char *base, int32_t scope, const char *filter, char **attrs, int32_t attrsonly,
                      LDAPMessage **result) {
    return search_and_wait(ld, base, scope, write_string_filter, filter, attrs, attrsonly, result);
}

int32_t search_with_filter_s(LDAP *ld, const char *base, int32_t scope, FilterWriter write, const void *context,
                             char **attrs, int32_t attrsonly, LDAPMessage **result) {
    if (write == nullptr) return parameter_error(ld);
    return search_and_wait(ld, base, scope, write, context, attrs, attrsonly, result);
}
