// Read readiness: every socket of a session is registered with the session's one event, so a
// single host wait covers them all; the host's list of readable sockets is kept until the next
// wait.
#include "../host/services.h"
#include "client.h"

void mark_select_read(LDAP *ld, LDAPSocketBuffer *sb) {
    wqsrsoc(sb->sb_socket, &ld->ld_read_event);
    sb->sb_event = &ld->ld_read_event;
}

void mark_select_clear(LDAP *, LDAPSocketBuffer *sb) {
    wqsureg(sb->sb_socket);
    sb->sb_event = nullptr;
}

int32_t is_read_ready(LDAP *ld, LDAPSocketBuffer *sb) {
    if (ld->ld_ready_sockets == nullptr) {
        int32_t count = 0;
        int32_t *sockets = nullptr;
        if (wqsgmsk(&count, &sockets) != 0) return 0;
        ld->ld_ready_count = count;
        ld->ld_ready_sockets = sockets;
    }
    if (ld->ld_ready_sockets == nullptr) return 0;
    for (int32_t i = 0; i < ld->ld_ready_count; ++i) {
        if (ld->ld_ready_sockets[i] == sb->sb_socket) return 1;
    }
    return 0;
}

int32_t do_ldap_select(LDAP *ld, int32_t timeout_ms) {
    if (ld->ld_ready_sockets != nullptr) {
        wqsfmsk(ld->ld_ready_sockets);
        ld->ld_ready_sockets = nullptr;
        ld->ld_ready_count = 0;
    }

    HostEvent timer = {};
    HostEvent *events[2] = {&ld->ld_read_event, &timer};
    int32_t count = 1;
    if (timeout_ms != -1) {
        count = 2;
        wttimer(timeout_ms, 0, &timer);
    }
    int32_t which = 0;
    int32_t status = wtgwait(&which, 1, count, events);
    if (count == 2) wttimer(0, 0, nullptr);

    if (count == 2 && which == 1) return 0;
    if (status != 0) return -1;
    if (ld->ld_read_event.status_present != 0 && ld->ld_read_event.status != 0) return -1;

    int32_t ready = 0;
    int32_t *sockets = nullptr;
    if (wqsgmsk(&ready, &sockets) != 0) return -1;
    ld->ld_ready_count = ready;
    ld->ld_ready_sockets = sockets;
    return 1;
}
