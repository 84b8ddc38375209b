// Loader entry point, anchors, image-information record and control node of the codec.
#include "frame.h"

#include "services.h"

uintptr_t v_global_gcb_anchor = 0;
uintptr_t v_global_pidb_anchor = 0;

// The host-service stubs read the anchor through this local name, so that the directory
// module's anchor of the same exported name never stands in for it.
extern "C" __attribute__((visibility("hidden"), alias("v_global_gcb_anchor"))) uintptr_t qor_gcb_anchor_local;

namespace {
constexpr char kNotice[] = "QORLDBER BER codec module. Copyright (c) 2026 the qorldap authors.";
}

const ImageInformation vi_mcn = {
    "QOR_Image_Information=",
    0xB0BDEBEDu,
    8,
    "1.00",
    "QORLDBER.1.00.00",
    __DATE__,
    0,
    {0, 0, 0},
    mcn_pcns,
    kNotice,
    "001",
};

const ProgramControlNode pcn_QORLDBER = {
    0xFFFF0000u, 1024, 1024, {'q', 'o', 'r', 'l', 'd', 'b', 'e', 'r'}, 0, qorldber, 1, 9683, 34702482u, 15,
};

const ProgramControlNode *const mcn_pcns[2] = {&pcn_QORLDBER, nullptr};

const ImageInformation *mcn_main(uintptr_t gcb, uintptr_t pidb) {
    v_global_gcb_anchor = gcb;
    v_global_pidb_anchor = pidb;
    return &vi_mcn;
}

int32_t qorldber() {
    return hiexprt(kCodecModule, reinterpret_cast<void *const *>(&bertbl), v_global_pidb_anchor);
}
