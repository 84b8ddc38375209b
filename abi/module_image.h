/* What the host loader reads from a module image: the image-information record its entry point
 * mcn_main answers, and the program control nodes that record leads to. The directory module and
 * the codec define their instances with these records, the platform runtime's loader reads them,
 * and host programs see the record through qorhost_image_of (qorhost.h, which includes this
 * header; it is installed beside qorhost.h as qorldap/abi/module_image.h). Plain C, so that C
 * host programs can include it too.
 *
 * The layout is the 32-bit host's: the sizes and offsets below are checked wherever C++ compiles
 * this header for i386, as the module, the codec and the runtime do. Texts are NUL-padded in
 * their fields, not always NUL-terminated.
 */
#ifndef QORLDAP_ABI_MODULE_IMAGE_H
#define QORLDAP_ABI_MODULE_IMAGE_H

#include <stddef.h>
#include <stdint.h>

/* Program control node (44 bytes). */
typedef struct qorhost_control_node {
    uint32_t pcn_flags; /* 0xFFFF0000 */
    uint32_t pcn_size1; /* 1024 */
    uint32_t pcn_size2; /* 1024 */
    char pcn_name[8];   /* the module's name, blank-padded, no NUL */
    uint32_t pcn_zero;
    int32_t (*pcn_entry)(void); /* the node's entry, called by the loader after mcn_main */
    uint32_t pcn_one;           /* 1 */
    uint32_t pcn_id1;           /* 9683 */
    uint32_t pcn_id2;           /* 34702482 */
    uint32_t pcn_id3;           /* 15 */
} qorhost_control_node;

/* Image-information record (96 bytes). */
typedef struct qorhost_image_record {
    char vi_eyecatcher[24];  /* "QOR_Image_Information=", NUL, zero */
    uint32_t vi_magic;       /* 0xB0BDEBED */
    uint32_t vi_format;      /* 8 */
    char vi_host_version[6]; /* the host version the image was built for, "d.dd" */
    char vi_release[20];     /* the image's release, 16 characters, e.g. "QORLDAP.01.00.00" */
    char vi_build_date[12];  /* "Mmm dd yyyy", NUL */
    uint16_t vi_pad;
    uint32_t vi_reserved[3];
    const void *vi_control_nodes; /* the image's program control nodes (mcn_pcns), null-terminated */
    const char *vi_notice;        /* one-line legal notice */
    char vi_level[4];             /* "001" */
} qorhost_image_record;

#if defined(__i386__) && defined(__cplusplus) && __cplusplus >= 201103L
#define QORHOST_LAYOUT(condition) static_assert(condition, #condition)
QORHOST_LAYOUT(sizeof(qorhost_control_node) == 44);
QORHOST_LAYOUT(offsetof(qorhost_control_node, pcn_name) == 12);
QORHOST_LAYOUT(offsetof(qorhost_control_node, pcn_entry) == 24);
QORHOST_LAYOUT(offsetof(qorhost_control_node, pcn_id3) == 40);
QORHOST_LAYOUT(sizeof(qorhost_image_record) == 96);
QORHOST_LAYOUT(offsetof(qorhost_image_record, vi_magic) == 24);
QORHOST_LAYOUT(offsetof(qorhost_image_record, vi_host_version) == 32);
QORHOST_LAYOUT(offsetof(qorhost_image_record, vi_release) == 38);
QORHOST_LAYOUT(offsetof(qorhost_image_record, vi_build_date) == 58);
QORHOST_LAYOUT(offsetof(qorhost_image_record, vi_reserved) == 72);
QORHOST_LAYOUT(offsetof(qorhost_image_record, vi_control_nodes) == 84);
QORHOST_LAYOUT(offsetof(qorhost_image_record, vi_notice) == 88);
QORHOST_LAYOUT(offsetof(qorhost_image_record, vi_level) == 92);
#undef QORHOST_LAYOUT
#endif

#endif
