/* lookup: the smallest host program of the directory module. It starts the platform runtime,
 * loads the module the way the host loader does, opens a session (server, port, bind and base
 * from the host options or the environment: LDAP_HOST, LDAP_PORT, LDAP_BINDDN, LDAP_BINDPW),
 * reads one entry and prints its values as text.
 *
 *   lookup MODULE.so DN [ATTRIBUTE]
 */
#include <stdio.h>

#include "qorldap/qorhost.h"
#include "qorldap/qorldap.h"

int main(int argc, char **argv) {
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: lookup MODULE.so DN [ATTRIBUTE]\n");
        return 2;
    }
    if (qorhost_start() != 0 || qorhost_load(argv[1]) < 0 || qorhost_vector(QORLDAP_MODULE) == NULL) {
        fprintf(stderr, "lookup: cannot load %s\n", argv[1]);
        return 3;
    }

    /* The directory functions are the slots of module 17's vector. */
    void **ldaptbl = qorhost_vector(QORLDAP_MODULE);
    qorldap_dsopen_fn dsopen = (qorldap_dsopen_fn)ldaptbl[QORLDAP_DSOPEN];
    qorldap_dsrslvdn_fn dsrslvdn = (qorldap_dsrslvdn_fn)ldaptbl[QORLDAP_DSRSLVDN];
    qorldap_dsgstr_fn dsgstr = (qorldap_dsgstr_fn)ldaptbl[QORLDAP_DSGSTR];
    qorldap_dsfree_fn dsfree = (qorldap_dsfree_fn)ldaptbl[QORLDAP_DSFREE];
    qorldap_dsgeterr_fn dsgeterr = (qorldap_dsgeterr_fn)ldaptbl[QORLDAP_DSGETERR];
    qorldap_dsclose_fn dsclose = (qorldap_dsclose_fn)ldaptbl[QORLDAP_DSCLOSE];

    /* Null and 0 arguments: the module looks the settings up itself. The base DN is not used
     * by a read, so an empty one is given. */
    LDAP *session = NULL;
    int32_t status = dsopen(&session, NULL, 0, DS_OPT_CHASE_REFERRALS, "", NULL, NULL);
    if (status != DS_OK) {
        fprintf(stderr, "lookup: dsopen failed: 0x%08x\n", (unsigned)status);
        qorhost_stop();
        return 3;
    }

    char *attributes[] = {argc == 4 ? argv[3] : NULL, NULL};
    dsent **result = NULL;
    status = dsrslvdn(session, argv[2], argc == 4 ? attributes : NULL, &result);
    if (status == DS_OK && result != NULL) {
        for (dsent **entry = result; *entry != NULL; ++entry) {
            printf("dn: %s\n", (*entry)->de_dn);
            for (dsatt **att = (*entry)->de_atts; *att != NULL; ++att)
                for (int32_t k = 0; k < (*att)->da_count; ++k)
                    printf("%s: %s\n", (*att)->da_name, dsgstr((*att)->da_vals[k]));
        }
        dsfree(session, result); /* before dsclose, which destroys the session's pool */
    } else if (status != DS_OK) {
        const char *message = dsgeterr(session);
        fprintf(stderr, "lookup: dsrslvdn failed: 0x%08x%s%s\n", (unsigned)status, message ? ": " : "",
                message ? message : "");
    }

    dsclose(session);
    qorhost_stop();
    return status == DS_OK ? 0 : 3;
}
