// The directory-function vector and the module's start and termination entries.
#include "vector.h"

#include "../host/gcb.h"
#include "../host/services.h"

constinit const DirectoryVector ldaptbl = {
    .reserved = {nullptr, nullptr, nullptr, nullptr},
    .term = term,
    .dsopen = nullptr,
    .dsclose = nullptr,
    .dsopt = nullptr,
    .dsiscls = nullptr,
    .dsexpgrp = nullptr,
    .dsreslv = nullptr,
    .dsrslvdn = nullptr,
    .dsreg = nullptr,
    .dsmodify = nullptr,
    .dsmodpad = nullptr,
    .dsmodone = nullptr,
    .dsdereg = nullptr,
    .dsfree = nullptr,
    .dsgshrt = nullptr,
    .dsgint = nullptr,
    .dsglong = nullptr,
    .dsgflt = nullptr,
    .dsgdbl = nullptr,
    .dsgbin = nullptr,
    .dsgstr = nullptr,
    .dsmkatt = nullptr,
    .dsfratt = nullptr,
    .dsmynod = nullptr,
    .dsdnprnt = nullptr,
    .dsgeterr = nullptr,
    .dscompar = nullptr,
};

int32_t qorldap() {
    hiexprt(kDirectoryModule, reinterpret_cast<void *const *>(&ldaptbl), v_global_pidb_anchor);
    return wiinstl(kCodecModule, "QORLDBER", 2);
}

int32_t term() {
    return wideprt(kDirectoryModule);
}
