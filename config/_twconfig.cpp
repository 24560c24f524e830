// _twconfig: hands the agent's configuration to its native library, which the process preloads,
// and switches that library on. The library's entry points are looked up once, in the process's
// global symbol scope, never opened by name.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>

// glibc 2.34 moved dlsym and dlerror into libc.so.6 under new symbol versions; bound to those, the
// module would not load on older systems (Amazon Linux 2 has 2.26, RHEL 7 2.17). The versions
// every glibc since the architecture's first still provides are asked for instead; they resolve
// from libdl.so.2, which new glibc keeps as a stub for exactly this.
#if defined(__x86_64__)
__asm__(".symver dlsym,dlsym@GLIBC_2.2.5");
__asm__(".symver dlerror,dlerror@GLIBC_2.2.5");
#elif defined(__aarch64__)
__asm__(".symver dlsym,dlsym@GLIBC_2.17");
__asm__(".symver dlerror,dlerror@GLIBC_2.17");
#endif

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../common/module_slots.h"

using StringEntryPoint = void (*)(const char*);
using InitializeEntryPoint = void (*)(void);

// The native library is one per process, and so are its entry points: every interpreter, isolated
// ones running in parallel among them, shares this one lookup and its one report.
//
// 1 once the entry points have been looked up, whatever was found; 0 before. While a thread looks
// them up it holds minus its process's id, so that a child forked in the middle of the lookup,
// where that thread does not exist, can tell and make the lookup itself: a lock would stay held
// there forever.
static std::atomic<int32_t> symbols_resolved{0};
// The entry points below are written before symbols_resolved becomes 1 and read only after it is
// seen as 1, so that its release and acquire order them.
// The library's tw_set_sink_url, or null.
static StringEntryPoint tw_set_sink_url_ptr = nullptr;
// The library's tw_set_api_key, or null.
static StringEntryPoint tw_set_api_key_ptr = nullptr;
// The library's tw_set_service_uuid, or null.
static StringEntryPoint tw_set_service_uuid_ptr = nullptr;
// The library's tw_initialize, or null.
static InitializeEntryPoint tw_initialize_ptr = nullptr;

namespace {

constexpr const char kNotLoaded[] = "C library not loaded (LD_PRELOAD not active?)";

// The loader's text for one lookup, copied at once: dlerror's buffer is only good until the next
// loader call. A longer text is cut, which still names the library and the symbol first.
struct LoaderText {
    bool present;
    char text[512];
};

// Looks name up in the global scope, in load order; records the loader's text for this lookup.
void* look_up(const char* name, LoaderText* loader_text)
{
    void* address = dlsym(RTLD_DEFAULT, name);
    const char* error = dlerror();
    loader_text->present = error != nullptr;
    if (error != nullptr) {
        std::snprintf(loader_text->text, sizeof loader_text->text, "%s", error);
    }
    return address;
}

void report_line(const char* name, bool found, const LoaderText& loader_text)
{
    std::fprintf(stderr, "  %s: %s (%s)\n", name, found ? "OK" : "FAILED",
                 loader_text.present ? loader_text.text : "no error");
}

void look_up_and_report()
{
    // A stale error from someone else's loader call would be taken for ours.
    (void)dlerror();

    LoaderText texts[4];
    // Object and function pointers have one representation on every platform with dlsym.
    tw_set_sink_url_ptr = reinterpret_cast<StringEntryPoint>(look_up("tw_set_sink_url", &texts[0]));
    tw_set_api_key_ptr = reinterpret_cast<StringEntryPoint>(look_up("tw_set_api_key", &texts[1]));
    tw_set_service_uuid_ptr =
        reinterpret_cast<StringEntryPoint>(look_up("tw_set_service_uuid", &texts[2]));
    tw_initialize_ptr = reinterpret_cast<InitializeEntryPoint>(look_up("tw_initialize", &texts[3]));

    if (tw_set_sink_url_ptr == nullptr || tw_set_api_key_ptr == nullptr ||
        tw_set_service_uuid_ptr == nullptr || tw_initialize_ptr == nullptr) {
        // The C stream, not sys.stderr: the report must reach the operator even when the
        // application has redirected Python's streams, and must run no Python code.
        const char* preload = std::getenv("LD_PRELOAD");
        std::fputs("[_twconfig] Symbol resolution FAILED!\n", stderr);
        std::fprintf(stderr, "  LD_PRELOAD=%s\n", preload != nullptr ? preload : "(not set)");
        report_line("tw_set_sink_url", tw_set_sink_url_ptr != nullptr, texts[0]);
        report_line("tw_set_api_key", tw_set_api_key_ptr != nullptr, texts[1]);
        report_line("tw_set_service_uuid", tw_set_service_uuid_ptr != nullptr, texts[2]);
        report_line("tw_initialize", tw_initialize_ptr != nullptr, texts[3]);
        std::fflush(stderr);
    }
}

// One lookup for the process, whichever thread of whichever interpreter comes first; the others
// wait for it. It runs no Python code, so a thread of the same interpreter (one lock) never waits
// on it: only isolated interpreters, with locks of their own, can be here at the same time.
void ensure_symbols_resolved()
{
    int32_t seen = symbols_resolved.load(std::memory_order_acquire);
    if (seen == 1) {
        return;
    }
    const int32_t looking_here = -static_cast<int32_t>(getpid());
    while (seen != 1) {
        if (seen == looking_here) {
            // Another thread of this process is at it: microseconds, unless stderr blocks.
            sched_yield();
            seen = symbols_resolved.load(std::memory_order_acquire);
            continue;
        }
        // Not begun, or begun by a thread that a fork() left behind in the parent.
        if (symbols_resolved.compare_exchange_weak(seen, looking_here, std::memory_order_acquire,
                                                   std::memory_order_acquire)) {
            look_up_and_report();
            symbols_resolved.store(1, std::memory_order_release);
            return;
        }
    }
}

// Parses one str and hands its UTF-8 bytes to the entry point found by the lookup.
PyObject* forward_string(PyObject* args, StringEntryPoint& entry_point)
{
    const char* value = nullptr;  // borrowed from the argument, valid for the call
    if (!PyArg_ParseTuple(args, "s", &value)) {
        return nullptr;
    }
    ensure_symbols_resolved();
    if (entry_point == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, kNotLoaded);
        return nullptr;
    }
    entry_point(value);
    Py_RETURN_NONE;
}

}  // namespace

static PyObject* py_tw_set_sink_url(PyObject* /*self*/, PyObject* args)
{
    return forward_string(args, tw_set_sink_url_ptr);
}

static PyObject* py_tw_set_api_key(PyObject* /*self*/, PyObject* args)
{
    return forward_string(args, tw_set_api_key_ptr);
}

static PyObject* py_tw_set_service_uuid(PyObject* /*self*/, PyObject* args)
{
    return forward_string(args, tw_set_service_uuid_ptr);
}

static PyObject* py_tw_initialize(PyObject* /*self*/, PyObject* /*unused*/)
{
    ensure_symbols_resolved();
    if (tw_initialize_ptr == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, kNotLoaded);
        return nullptr;
    }
    tw_initialize_ptr();
    Py_RETURN_NONE;
}

static PyMethodDef TwConfigMethods[] = {
    {"set_sink_url", py_tw_set_sink_url, METH_VARARGS, "Set the GraphQL endpoint URL for the C library"},
    {"set_api_key", py_tw_set_api_key, METH_VARARGS, "Set the API key for the C library"},
    {"set_service_uuid", py_tw_set_service_uuid, METH_VARARGS, "Set the service UUID for the C library"},
    {"initialize", py_tw_initialize, METH_NOARGS,
     "Initialize and activate the C library (sets TW_INITIALIZED=1)"},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef_Slot TwConfigSlots[] = {
    TW_PER_INTERPRETER_GIL_SLOT
    {0, nullptr},
};

static struct PyModuleDef twconfig_module = {
    PyModuleDef_HEAD_INIT,
    /* m_name */ "_twconfig",
    /* m_doc */ "Configuration interface for the Tidewren C library",
    /* m_size */ 0,
    /* m_methods */ TwConfigMethods,
    /* m_slots */ TwConfigSlots,
    /* m_traverse */ nullptr,
    /* m_clear */ nullptr,
    /* m_free */ nullptr,
};

PyMODINIT_FUNC PyInit__twconfig(void)
{
    // Nothing is looked up here: importing the module never prints the report.
    return PyModuleDef_Init(&twconfig_module);
}
