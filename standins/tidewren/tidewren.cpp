// Stand-in for the agent's native library, preloaded into the application with LD_PRELOAD. It
// keeps copies of what it is given and, once initialised, marks the process with
// TW_INITIALIZED=1. Tests and the demo read back what it received through the tw_standin_*
// functions (ctypes.CDLL(None) finds them in a preloaded process).
//
// Built twice: libtidewren.so with all four entry points, and libtidewren_partial.so without
// tw_initialize (TW_STANDIN_WITHOUT_INITIALIZE), for a half-present library.
#include <cstdlib>
#include <cstring>

#define TW_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Received {
    char* value;  // malloc'd copy of the last value, or null
    int calls;
};

Received g_sink_url;
Received g_api_key;
Received g_service_uuid;
int g_initialize_calls = 0;

void keep(Received& slot, const char* value)
{
    // The caller's string is only good for the duration of the call.
    const std::size_t size = std::strlen(value) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy != nullptr) {
        std::memcpy(copy, value, size);
    }
    std::free(slot.value);
    slot.value = copy;
    ++slot.calls;
}

Received* slot_named(const char* entry_point)
{
    if (std::strcmp(entry_point, "tw_set_sink_url") == 0) {
        return &g_sink_url;
    }
    if (std::strcmp(entry_point, "tw_set_api_key") == 0) {
        return &g_api_key;
    }
    if (std::strcmp(entry_point, "tw_set_service_uuid") == 0) {
        return &g_service_uuid;
    }
    return nullptr;
}

}  // namespace

TW_EXPORT void tw_set_sink_url(const char* url) { keep(g_sink_url, url); }
TW_EXPORT void tw_set_api_key(const char* key) { keep(g_api_key, key); }
TW_EXPORT void tw_set_service_uuid(const char* uuid) { keep(g_service_uuid, uuid); }

#ifndef TW_STANDIN_WITHOUT_INITIALIZE
TW_EXPORT void tw_initialize(void)
{
    ++g_initialize_calls;
    setenv("TW_INITIALIZED", "1", 1);
}
#endif

// How often an entry point was called (-1 for an unknown name).
TW_EXPORT int tw_standin_calls(const char* entry_point)
{
    if (std::strcmp(entry_point, "tw_initialize") == 0) {
        return g_initialize_calls;
    }
    const Received* slot = slot_named(entry_point);
    return slot != nullptr ? slot->calls : -1;
}

// The last value a setter received, or null if it never was called.
TW_EXPORT const char* tw_standin_value(const char* entry_point)
{
    const Received* slot = slot_named(entry_point);
    return slot != nullptr ? slot->value : nullptr;
}
