/* qorldap: what a host program needs to use the directory module through its vector.
 *
 * The module publishes its directory-function vector as host module 17. A host program obtains
 * the vector from the platform (qorhost_vector(QORLDAP_MODULE)) and calls slot N with the
 * arguments of the function type below. Every function runs on the calling task; a session and
 * everything made on it is used by one task at a time.
 *
 * Compiles as C99 and as C++.
 */
#ifndef QORLDAP_QORLDAP_H
#define QORLDAP_QORLDAP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Host module number of the directory-function vector, and of the BER codec it installs. */
#define QORLDAP_MODULE 17
#define QORLDAP_CODEC_MODULE 18
#define QORLDAP_SLOTS 31

/* A directory session (opaque to host programs). Made by dsopen, ended by dsclose. */
typedef struct LDAP LDAP;

/* Kinds of a value record: which view of the value area holds a converted value. */
enum dsval_kind {
    DSVAL_NONE = 0,   /* not converted yet (every value of a result set starts so) */
    DSVAL_INT = 1,
    DSVAL_LONG = 2,
    DSVAL_SHORT = 3,
    DSVAL_FLOAT = 4,
    DSVAL_DOUBLE = 5,
    DSVAL_BINARY = 6,
    DSVAL_TEXT = 7    /* given as text in an attribute list */
};

/* One value (20 bytes in the 32-bit ABI). dv_text is NUL-terminated: in a result set the bytes as
 * received (a zero byte inside ends the text), in an attribute list the text given or the text
 * form made for a numeric or binary value before sending. */
typedef struct dsval {
    int32_t dv_kind;
    int32_t dv_spare;                 /* reserved, zero */
    union dsval_area {
        int32_t num;                  /* kinds 1, 2, 3 (a short uses the low 16 bits) */
        double dbl;                   /* kinds 4, 5 */
        struct dsval_bytes {
            unsigned char *bytes;     /* kind 6: decoded bytes */
            int32_t length;
        } bin;
    } dv_area;
    char *dv_text;
} dsval;
#define dv_num dv_area.num
#define dv_dbl dv_area.dbl
#define dv_bin dv_area.bin.bytes
#define dv_binlen dv_area.bin.length

/* One attribute with its values. In a result set da_vals has da_count + 1 slots, the last null;
 * in an attribute list made by dsmkatt exactly da_count slots. */
typedef struct dsatt {
    char *da_name;
    dsval **da_vals;
    int32_t da_count;
} dsatt;

/* One entry: its DN and a null-terminated array of attributes in the order the server sent
 * them. A result set is a null-terminated array of entry pointers. */
typedef struct dsent {
    char *de_dn;
    dsatt **de_atts;
} dsent;

/* Modification operations. */
#define DS_MOD_ADD 0
#define DS_MOD_DELETE 1
#define DS_MOD_REPLACE 2

/* One change of dsmodify: the attribute's values are added, deleted or replaced. */
typedef struct dsmod {
    int32_t dm_op;
    dsatt *dm_att;
} dsmod;

/* One change group of dsmodpad: the operation applies to every attribute of the group. */
typedef struct dsmodg {
    int32_t dg_op;
    dsatt **dg_atts;
} dsmodg;

/* Slots of the directory-function vector. Slots 0-3 are null. */
enum qorldap_slot {
    QORLDAP_TERM = 4,
    QORLDAP_DSOPEN = 5,
    QORLDAP_DSCLOSE = 6,
    QORLDAP_DSOPT = 7,
    QORLDAP_DSISCLS = 8,
    QORLDAP_DSEXPGRP = 9,
    QORLDAP_DSRESLV = 10,
    QORLDAP_DSRSLVDN = 11,
    QORLDAP_DSREG = 12,
    QORLDAP_DSMODIFY = 13,
    QORLDAP_DSMODPAD = 14,
    QORLDAP_DSMODONE = 15,
    QORLDAP_DSDEREG = 16,
    QORLDAP_DSFREE = 17,
    QORLDAP_DSGSHRT = 18,
    QORLDAP_DSGINT = 19,
    QORLDAP_DSGLONG = 20,
    QORLDAP_DSGFLT = 21,
    QORLDAP_DSGDBL = 22,
    QORLDAP_DSGBIN = 23,
    QORLDAP_DSGSTR = 24,
    QORLDAP_DSMKATT = 25,
    QORLDAP_DSFRATT = 26,
    QORLDAP_DSMYNOD = 27,
    QORLDAP_DSDNPRNT = 28,
    QORLDAP_DSGETERR = 29,
    QORLDAP_DSCOMPAR = 30
};

/* Function types of the slots. Status results are 0 on success, else 0x8014xxxx. */
typedef int32_t (*qorldap_term_fn)(void);
typedef int32_t (*qorldap_dsopen_fn)(LDAP **session, const char *host, int32_t port, int32_t options,
                                     const char *base, const char *bind_dn, const char *password);
typedef int32_t (*qorldap_dsclose_fn)(LDAP *session);
typedef void (*qorldap_dsopt_fn)(LDAP *session, int32_t time_limit_seconds, int32_t size_limit,
                                 int32_t options, const char *base);
typedef int32_t (*qorldap_dsiscls_fn)(LDAP *session, dsent *entry, const char *class_name, int32_t length);
typedef int32_t (*qorldap_dsexpgrp_fn)(LDAP *session, const char *group_dn, dsent ***result);
typedef int32_t (*qorldap_dsreslv_fn)(LDAP *session, const char *filter, char **attributes, dsent ***result);
typedef int32_t (*qorldap_dsrslvdn_fn)(LDAP *session, const char *dn, char **attributes, dsent ***result);
typedef int32_t (*qorldap_dsreg_fn)(LDAP *session, const char *dn, dsent *entry);
typedef int32_t (*qorldap_dsmodify_fn)(LDAP *session, const char *dn, dsmod **changes);
typedef int32_t (*qorldap_dsmodpad_fn)(LDAP *session, const char *dn, dsmodg **groups);
typedef int32_t (*qorldap_dsmodone_fn)(LDAP *session, const char *dn, int32_t operation, const char *type,
                                       char **values);
typedef int32_t (*qorldap_dsdereg_fn)(LDAP *session, const char *dn);
typedef int32_t (*qorldap_dsfree_fn)(LDAP *session, dsent **result);
typedef int32_t (*qorldap_dsgshrt_fn)(dsval *value);
typedef int32_t (*qorldap_dsgint_fn)(dsval *value);
typedef int32_t (*qorldap_dsglong_fn)(dsval *value);
typedef float (*qorldap_dsgflt_fn)(dsval *value);
typedef double (*qorldap_dsgdbl_fn)(dsval *value);
typedef unsigned char *(*qorldap_dsgbin_fn)(LDAP *session, dsval *value, int32_t *length);
typedef char *(*qorldap_dsgstr_fn)(dsval *value);
typedef dsatt *(*qorldap_dsmkatt_fn)(LDAP *session, const char *name, int32_t count, ...);
typedef void (*qorldap_dsfratt_fn)(LDAP *session, dsatt *attribute);
typedef char *(*qorldap_dsmynod_fn)(char *buffer, int32_t size);
typedef void (*qorldap_dsdnprnt_fn)(const char *name, char *output, int32_t size, int32_t *length);
typedef char *(*qorldap_dsgeterr_fn)(LDAP *session);
typedef int32_t (*qorldap_dscompar_fn)(LDAP *session, const char *dn, const char *type, const char *value);

#ifdef __cplusplus
}
#endif

#endif
