// The directory-function vector and the module's start and termination entries.
#include "vector.h"

#include "directory.h"

#include "../host/gcb.h"
#include "../host/services.h"

constinit const DirectoryVector ldaptbl = {
    .reserved = {nullptr, nullptr, nullptr, nullptr},
    .term = term,
    .dsopen = dsopen,
    .dsclose = dsclose,
    .dsopt = dsopt,
    .dsiscls = dsiscls,
    .dsexpgrp = dsexpgrp,
    .dsreslv = dsreslv,
    .dsrslvdn = dsrslvdn,
    .dsreg = dsreg,
    .dsmodify = dsmodify,
    .dsmodpad = dsmodpad,
    .dsmodone = dsmodone,
    .dsdereg = dsdereg,
    .dsfree = dsfree,
    .dsgshrt = dsgshrt,
    .dsgint = dsgint,
    .dsglong = dsglong,
    .dsgflt = dsgflt,
    .dsgdbl = dsgdbl,
    .dsgbin = dsgbin,
    .dsgstr = dsgstr,
    .dsmkatt = dsmkatt,
    .dsfratt = dsfratt,
    .dsmynod = dsmynod,
    .dsdnprnt = dsdnprnt,
    .dsgeterr = dsgeterr,
    .dscompar = dscompar,
};

int32_t qorldap() {
    hiexprt(kDirectoryModule, reinterpret_cast<void *const *>(&ldaptbl), v_global_pidb_anchor);
    return wiinstl(kCodecModule, "QORLDBER", 2);
}

int32_t term() {
    return wideprt(kDirectoryModule);
}
