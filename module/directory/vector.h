// The directory-function vector, published as host module 17, and the entries around it.
#pragma once

#include <cstdint>

#include "../../include/qorldap/qorldap.h"
#include "../host/export.h"

// Slot layout of the vector: 31 words, each a function address or null.
struct DirectoryVector {
    void *reserved[4];
    qorldap_term_fn term;
    qorldap_dsopen_fn dsopen;
    qorldap_dsclose_fn dsclose;
    qorldap_dsopt_fn dsopt;
    qorldap_dsiscls_fn dsiscls;
    qorldap_dsexpgrp_fn dsexpgrp;
    qorldap_dsreslv_fn dsreslv;
    qorldap_dsrslvdn_fn dsrslvdn;
    qorldap_dsreg_fn dsreg;
    qorldap_dsmodify_fn dsmodify;
    qorldap_dsmodpad_fn dsmodpad;
    qorldap_dsmodone_fn dsmodone;
    qorldap_dsdereg_fn dsdereg;
    qorldap_dsfree_fn dsfree;
    qorldap_dsgshrt_fn dsgshrt;
    qorldap_dsgint_fn dsgint;
    qorldap_dsglong_fn dsglong;
    qorldap_dsgflt_fn dsgflt;
    qorldap_dsgdbl_fn dsgdbl;
    qorldap_dsgbin_fn dsgbin;
    qorldap_dsgstr_fn dsgstr;
    qorldap_dsmkatt_fn dsmkatt;
    qorldap_dsfratt_fn dsfratt;
    qorldap_dsmynod_fn dsmynod;
    qorldap_dsdnprnt_fn dsdnprnt;
    qorldap_dsgeterr_fn dsgeterr;
    qorldap_dscompar_fn dscompar;
};
static_assert(sizeof(DirectoryVector) == QORLDAP_SLOTS * sizeof(void *));

QOR_EXPORT const DirectoryVector ldaptbl;

// Entry of the program control node: publishes the vector as module 17 and installs the BER
// codec "QORLDBER" as module 18. Answers the installation's status.
QOR_EXPORT int32_t qorldap();

// Slot 4: withdraws module 17; answers the withdrawal's status.
QOR_EXPORT int32_t term();

inline constexpr int32_t kDirectoryModule = QORLDAP_MODULE;
inline constexpr int32_t kCodecModule = QORLDAP_CODEC_MODULE;
