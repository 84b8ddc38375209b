// The codec's vector: each slot is the operation its callers reach under that entry number.
#include "codec.h"
#include "frame.h"

using namespace qor::codec;

// clang-format off
const CodecVector bertbl = {
    {nullptr, nullptr},
    print,
    next_message,
    rewind_element,
    duplicate_element,
    init_element,
    free_element,
    scan,
    get_int,
    peek_tag,
    skip_tag,
    get_string,
    allocate_element,
    flush,
    write_bytes,
    set_translators,
};
// clang-format on
