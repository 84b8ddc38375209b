/* The module's host-service stubs, one per row of services.def. */
#define QOR_SERVICE_TABLE "services.def"
#include "stub_generator.inc"
