// Loader entry point and the module's anchors.
#include "../host/gcb.h"
#include "frame.h"

uintptr_t v_global_gcb_anchor = 0;
uintptr_t v_global_pidb_anchor = 0;

// The host-service stubs read the anchor through this local name, so that no other definition
// of the exported name can stand in for it.
extern "C" __attribute__((visibility("hidden"), alias("v_global_gcb_anchor"))) uintptr_t qor_gcb_anchor_local;

uint32_t u_deve = 0;
uint32_t u_devp = 0;

const ImageInformation *mcn_main(uintptr_t gcb, uintptr_t pidb) {
    v_global_gcb_anchor = gcb;
    v_global_pidb_anchor = pidb;
    himodcn();
    return &vi_mcn;
}
