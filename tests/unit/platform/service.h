// Typed access to the runtime's host services, the way a module's stub reaches them: entry e of
// the vector of module m, cast to the service's type from the service tables. svc::wmtpc() is the
// pool-creation service as a function pointer, and so on.
#pragma once

#include <cstdint>

#include "abi/host_types.h"
#include "qorldap/qorhost.h"

// One row of a service table as an accessor: name##_fn is the service's type, name() the entry.
#define QOR_TYPED_SERVICE(result, name, module, entry, parameters)                      \
    using name##_fn = result(*) parameters;                                            \
    inline name##_fn name() { return reinterpret_cast<name##_fn>(qorhost_vector(module)[entry]); }

namespace svc {
#define QOR_SERVICE QOR_TYPED_SERVICE
#include "module/host/services.def"
#undef QOR_SERVICE
}  // namespace svc

// The rows only the codec calls.
namespace codec_svc {
#define QOR_SERVICE QOR_TYPED_SERVICE
#include "codec/codec_services.def"
#undef QOR_SERVICE
}  // namespace codec_svc

#undef QOR_TYPED_SERVICE

// Word `index` of the control block, and word `word` of the record control-block word `record`
// points to.
inline uintptr_t gcb_word(int index) { return reinterpret_cast<const uintptr_t *>(qorhost_control_block())[index]; }
inline uintptr_t gcb_record_word(int record, int word) {
    return reinterpret_cast<const uintptr_t *>(gcb_word(record))[word];
}

// The option handle of the base task, as the directory module obtains it.
inline void *base_task_options() { return svc::xalanch()(gcb_record_word(kGcbBaseTask, kTaskHandleWord)); }

// Host statuses the tests name.
inline constexpr int32_t kTooSmall = static_cast<int32_t>(0x80002011u);
inline constexpr int32_t kNotConvertible = static_cast<int32_t>(0x80002006u);
