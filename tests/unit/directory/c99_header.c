/* Compiled by header_test as C99 with -pedantic-errors: what a C host program sees of the
 * directory module must be plain C. */
#include "qorldap/qorldap.h"

static int32_t use_records(dsent **result, qorldap_dsmkatt_fn make, LDAP *session) {
    dsatt *list = make(session, "cn", 2, DSVAL_INT, (int32_t)42, DSVAL_TEXT, "x");
    int32_t total = list != 0 ? list->da_vals[0]->dv_num : 0;
    dsmod change = {DS_MOD_REPLACE, 0};
    dsmodg group = {DS_MOD_ADD, 0};
    change.dm_att = list;
    group.dg_atts = result != 0 && result[0] != 0 ? result[0]->de_atts : 0;
    if (DS_FAILED(DS_STATUS(32)) && DS_CODE(DS_NO_SUCH_OBJECT) == 32 && !DS_FAILED(DS_SIZELIMIT_WARNING)) {
        total += change.dm_op + group.dg_op + QORLDAP_DSCOMPAR;
    }
    return total;
}

int32_t (*c99_header_check)(dsent **, qorldap_dsmkatt_fn, LDAP *) = use_records;
