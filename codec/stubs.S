/* The codec's host-service stubs, one per row of codec_services.def. */
#define QOR_SERVICE_TABLE "codec_services.def"
#include "stub_generator.inc"
