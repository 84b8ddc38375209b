// The host message catalogue: the texts the directory module asks for by catalogue and number.
#include "services.h"
#include "status.h"

namespace qorhost {
namespace {

struct CatalogueMessage {
    int32_t catalogue;
    int32_t message;
    const char *text;
    int32_t length;
};

constexpr CatalogueMessage kMessages[] = {
    {648, 151, "Matched DN:", 11},
    {648, 152, "Additional information:", 23},
};

}  // namespace

int32_t wkread_service(int32_t catalogue, int32_t message, const char **text, int32_t *length) {
    if (text == nullptr || length == nullptr) {
        return status(kStatusBadArgument);
    }
    for (const CatalogueMessage &m : kMessages) {
        if (m.catalogue == catalogue && m.message == message) {
            *text = m.text;
            *length = m.length;
            return 0;
        }
    }
    return status(kStatusNotFound);
}

}  // namespace qorhost
