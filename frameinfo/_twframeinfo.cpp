// _twframeinfo: tells the application's own code from libraries and from the agent by source
// file path, and turns frames and functions of application code into call-site records.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../common/absorb.h"
#include "../common/fastcall.h"
#include "../common/module_slots.h"
#include "../common/pyref.h"
#include "interpreter_frames.h"
#include "path_prefixes.h"
#include "user_code.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

using tw::Ref;

// One interpreter's rule of user code and call-site walk: the prefixes its agent gave, and where it
// keeps, with each code object, whether that code is the application's. Each interpreter numbers
// those slots itself, so each module keeps its own.
struct FrameInfoState {
    // The path prefixes of init_user_code; empty (the built-in rule alone) until it is called.
    twfi::UserCodeRules rules;
    // The code-object slot of this interpreter's verdicts, requested by the first walk.
    Py_ssize_t code_slot;
    // Changes whenever the rule does: a kept verdict of another generation is judged again.
    std::uintptr_t rule_generation;
    // Whether the slot is read in place, as it is once a verdict kept has read back that way.
    bool slot_read_in_place;
};

static FrameInfoState* get_frameinfo_state(PyObject* module)
{
    return static_cast<FrameInfoState*>(twfi::frames::module_state(module));
}

namespace {

constexpr Py_ssize_t kCodeSlotNotRequested = -1;

// A chain of objects that only look like frames may never end (one that is its own f_back).
constexpr int kMostObjectLinks = 10000;

// Frames, functions and code objects are read through their C structures rather than by
// attribute name: those types can't be subclassed and their attributes are data descriptors,
// so the result is the same as the lookup's, without building and hashing the name. Any other
// object goes through the lookup by name.

// Every reader below fails the same way: with its error absorbed, or with an interrupt pending
// (see unanswered).

// An attribute as a new reference, or null when it can't be read.
Ref attribute_or_null(PyObject* owner, const char* name)
{
    Ref value = Ref::steal(PyObject_GetAttrString(owner, name));
    if (!value) {
        tw::absorb_error();
    }
    return value;
}

// An attribute converted to a C long (which may call __index__); false when it is missing or is
// no integer (a frame's f_lineno can be None).
bool long_attribute(PyObject* owner, const char* name, long* value)
{
    const Ref object = attribute_or_null(owner, name);
    if (!object) {
        return false;
    }
    *value = PyLong_AsLong(object.get());
    if (*value == -1 && PyErr_Occurred()) {
        tw::absorb_error();
        return false;
    }
    return true;
}

// Reading f_code or __code__ raises this audit event; reading the structure must raise it too.
bool audit_code_access(PyObject* owner, const char* attribute)
{
    if (PySys_Audit("object.__getattr__", "Os", owner, attribute) < 0) {
        tw::absorb_error();
        return false;
    }
    return true;
}

Ref frame_code(PyObject* frame)
{
    if (!PyFrame_Check(frame)) {
        return attribute_or_null(frame, "f_code");
    }
    if (!audit_code_access(frame, "f_code")) {
        return {};
    }
    return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame))));
}

Ref function_code(PyObject* func)
{
    if (!PyFunction_Check(func)) {
        return attribute_or_null(func, "__code__");
    }
    if (!audit_code_access(func, "__code__")) {
        return {};
    }
    return Ref::borrow(PyFunction_GET_CODE(func));
}

Ref code_filename(PyObject* code)
{
    if (PyCode_Check(code)) {
        return Ref::borrow(reinterpret_cast<PyCodeObject*>(code)->co_filename);
    }
    return attribute_or_null(code, "co_filename");
}

Ref code_name(PyObject* /*frame*/, PyObject* code)
{
    if (PyCode_Check(code)) {
        return Ref::borrow(reinterpret_cast<PyCodeObject*>(code)->co_name);
    }
    return attribute_or_null(code, "co_name");
}

Ref function_name(PyObject* func, PyObject* /*code*/)
{
    if (PyFunction_Check(func)) {
        return Ref::borrow(reinterpret_cast<PyFunctionObject*>(func)->func_name);
    }
    return attribute_or_null(func, "__name__");
}

// The frame's current line; a frame whose f_lineno is None has no call site to report.
bool frame_line(PyObject* frame, PyObject* /*code*/, long* line)
{
    if (!PyFrame_Check(frame)) {
        return long_attribute(frame, "f_lineno", line);
    }
    *line = PyFrame_GetLineNumber(reinterpret_cast<PyFrameObject*>(frame));
    return *line >= 0;
}

bool code_first_line(PyObject* /*func*/, PyObject* code, long* line)
{
    if (!PyCode_Check(code)) {
        return long_attribute(code, "co_firstlineno", line);
    }
    *line = reinterpret_cast<PyCodeObject*>(code)->co_firstlineno;
    return true;
}

// The file name's UTF-8 bytes, borrowed from it; null when it is no str or can't be encoded.
const char* path_bytes(PyObject* filename)
{
    if (!PyUnicode_Check(filename)) {
        return nullptr;
    }
    // The size-returning variant accepts an embedded NUL: such a name is judged by its text
    // before the NUL.
    Py_ssize_t size = 0;
    const char* path = PyUnicode_AsUTF8AndSize(filename, &size);
    if (path == nullptr) {
        tw::absorb_error();
    }
    return path;
}

// The same under prefixes, which need the bytes' number: an ASCII name has it at hand.
[[gnu::noinline]] bool is_user_path_under(const twfi::UserCodeRules& rules, PyObject* filename, const char* path)
{
    Py_ssize_t size = 0;
    if (PyUnicode_IS_COMPACT_ASCII(filename)) {
        size = PyUnicode_GET_LENGTH(filename);
    } else {
        PyUnicode_AsUTF8AndSize(filename, &size);  // kept with the name by path_bytes: cannot fail now
    }
    return twfi::detail::is_user_code_under(path, static_cast<std::size_t>(size), rules);
}

// Whether a file name (path: its bytes, from path_bytes) is user code under this interpreter's
// rules; with none, at the built-in rule's own cost.
[[gnu::always_inline]] inline bool is_user_path(const FrameInfoState& state, PyObject* filename, const char* path)
{
    return state.rules.slots == nullptr ? twfi::is_user_code(path) : is_user_path_under(state.rules, filename, path);
}

// The answer (None or False) when a reader above failed; null when what stopped it was an
// interrupt, which leaves the method as it would leave Python code.
PyObject* unanswered(PyObject* answer)
{
    return PyErr_Occurred() ? nullptr : Py_NewRef(answer);
}

// The single argument, borrowed; null with no error pending when there isn't exactly one (the
// parser's refusal, which these methods absorb).
PyObject* only_argument(PyObject* const* args, Py_ssize_t nargs)
{
    return nargs == 1 ? args[0] : nullptr;
}

// (filename, line, name, True), or null with the memory error.
PyObject* new_record(PyObject* filename, long line, PyObject* name)
{
    Ref line_number = Ref::steal(PyLong_FromLong(line));
    if (!line_number) {
        return nullptr;
    }
    PyObject* record = PyTuple_New(4);
    if (record == nullptr) {
        return nullptr;
    }
    PyTuple_SET_ITEM(record, 0, Py_NewRef(filename));
    PyTuple_SET_ITEM(record, 1, line_number.release());
    PyTuple_SET_ITEM(record, 2, Py_NewRef(name));
    PyTuple_SET_ITEM(record, 3, Py_NewRef(Py_True));
    return record;
}

// The record of a code object at a line. The allocations may run the collector, and its
// finalizers other threads, whose frames may be the only holders of the code: it is held here.
PyObject* code_record(PyCodeObject* code, int line)
{
    const Ref held = Ref::borrow(reinterpret_cast<PyObject*>(code));
    return new_record(code->co_filename, line, code->co_name);
}

// The word kept with a code object: its verdict, under the rule of one generation.
constexpr std::uintptr_t verdict_word(std::uintptr_t generation, bool user)
{
    return (generation << 2) | (static_cast<std::uintptr_t>(user) << 1) | 1;
}

// The verdict on a code object no word of this generation was kept for; it is kept now, except
// for a pseudo-file name ('<'): never user code, and the frozen modules' code objects, which are
// of that kind, may be shared with other interpreters, whose slots mean other things. A name that
// can't be read as UTF-8 is not user code (as for get_frame_info) and is judged again next time.
[[gnu::noinline]] bool judge_code(FrameInfoState& state, PyCodeObject* code)
{
    const char* path = path_bytes(code->co_filename);  // borrowed from the code's file name
    if (path == nullptr) {
        return false;
    }
    const bool user = is_user_path(state, code->co_filename, path);
    if (path[0] != '<' && twfi::frames::keep_word(code, state.code_slot, verdict_word(state.rule_generation, user))) {
        state.slot_read_in_place = true;
    }
    return user;
}

template <bool kSlotInPlace>
PyObject* walk_frames(FrameInfoState& state, twfi::frames::Walk walk)
{
    const std::uintptr_t user_word = verdict_word(state.rule_generation, true);
    const std::uintptr_t library_word = verdict_word(state.rule_generation, false);
    const Py_ssize_t slot = state.code_slot;
    for (; !walk.done(); walk.next()) {
        PyCodeObject* code = walk.code();  // borrowed from the frame
        const std::uintptr_t kept = kSlotInPlace ? twfi::frames::kept_word_in_place(code, slot)
                                                 : twfi::frames::kept_word_by_call(code, slot);
        if (kept == library_word || (kept != user_word && !judge_code(state, code))) {
            continue;
        }
        // As get_frame_info, a frame whose instruction has no line gives no record.
        const int line = walk.complete() ? walk.line() : -1;
        if (line >= 0) {
            return code_record(code, line);
        }
    }
    Py_RETURN_NONE;
}

// The record of the first frame of user code with a line, from walk's place outward; None when
// there is none. Every frame passed costs a few loads, so the slot is read in place as soon as
// that is known to be safe.
PyObject* walk_to_call_site(FrameInfoState& state, twfi::frames::Walk walk)
{
    if (state.slot_read_in_place) {
        return walk_frames<true>(state, static_cast<twfi::frames::Walk&&>(walk));
    }
    return walk_frames<false>(state, static_cast<twfi::frames::Walk&&>(walk));
}

// Where a record's parts come from, for a frame or a function (the object) and its code object.
struct RecordSource {
    Ref (*code_of)(PyObject* object);
    bool (*line_of)(PyObject* object, PyObject* code, long* line);
    Ref (*name_of)(PyObject* object, PyObject* code);
};

constexpr RecordSource kFrameRecord{frame_code, frame_line, code_name};
constexpr RecordSource kFunctionRecord{function_code, code_first_line, function_name};

// The (filename, line, name, True) record of object, or None when it is not user code or a part
// can't be read. Raises only when the record itself can't be allocated.
PyObject* extract_record(const FrameInfoState& state, PyObject* object, const RecordSource& source)
{
    const Ref code = source.code_of(object);
    const Ref filename = code ? code_filename(code.get()) : Ref();
    const char* path = filename ? path_bytes(filename.get()) : nullptr;  // borrowed from filename
    if (path == nullptr) {
        return unanswered(Py_None);
    }
    if (!is_user_path(state, filename.get(), path)) {
        Py_RETURN_NONE;
    }
    long line = 0;
    if (!source.line_of(object, code.get(), &line)) {
        return unanswered(Py_None);
    }
    const Ref name = source.name_of(object, code.get());
    if (!name) {
        return unanswered(Py_None);
    }
    return new_record(filename.get(), line, name.get());
}

// The call site from any object: frames are walked as the interpreter keeps them; any other
// object is read by attribute name, as get_frame_info reads it, and its f_back followed. A link that
// can't be read ends the walk with None, an interrupt leaves it.
PyObject* call_site_from(FrameInfoState& state, PyObject* link)
{
    Ref held;  // link's holder once it came from an f_back, which may be its only reference
    for (int objects = 0; link != Py_None; ++objects) {
        if (PyFrame_Check(link)) {
            return walk_to_call_site(state, twfi::frames::Walk::from_frame(reinterpret_cast<PyFrameObject*>(link)));
        }
        if (objects == kMostObjectLinks) {
            break;
        }
        PyObject* record = extract_record(state, link, kFrameRecord);
        if (record != Py_None) {
            return record;  // a record, or null with the memory error or an interrupt
        }
        Py_DECREF(record);
        held = attribute_or_null(link, "f_back");
        if (!held) {
            return unanswered(Py_None);
        }
        link = held.get();
    }
    Py_RETURN_NONE;
}

// The prefixes of a list of str, as UTF-8 bytes borrowed from its items (each judged by its text
// before a NUL, as a path is), into views[0, count). False with the error set.
bool prefixes_of(PyObject* list, const char* items_message, std::string_view* views)
{
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);  // borrowed
        if (!PyUnicode_Check(item)) {
            PyErr_SetString(PyExc_TypeError, items_message);
            return false;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (utf8 == nullptr) {
            return false;
        }
        views[i] = std::string_view(utf8, strnlen(utf8, static_cast<size_t>(size)));
    }
    return true;
}

// The rules of both lists, made aside: false with the error set, and nothing made.
bool rules_of(PyObject* include, PyObject* exclude, twfi::UserCodeRules* made)
{
    if (!PyList_Check(include)) {
        PyErr_SetString(PyExc_TypeError, "include must be a list");
        return false;
    }
    const auto include_count = static_cast<size_t>(PyList_GET_SIZE(include));
    // No Python code runs from here on, so the lists keep their items and their items' bytes.
    auto* views = static_cast<std::string_view*>(std::malloc((include_count + 1) * sizeof(std::string_view)));
    if (views == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    bool made_them = prefixes_of(include, "include items must be strings", views);
    if (made_them && !PyList_Check(exclude)) {
        PyErr_SetString(PyExc_TypeError, "exclude must be a list");
        made_them = false;
    }
    if (made_them) {
        const auto exclude_count = static_cast<size_t>(PyList_GET_SIZE(exclude));
        auto* all = static_cast<std::string_view*>(
            std::realloc(views, (include_count + exclude_count + 1) * sizeof(std::string_view)));
        if (all == nullptr) {
            PyErr_NoMemory();
            made_them = false;
        } else {
            views = all;
            made_them = prefixes_of(exclude, "exclude items must be strings", views + include_count) &&
                        twfi::make_rules(views, include_count, views + include_count, exclude_count, made);
            if (!made_them && !PyErr_Occurred()) {
                PyErr_NoMemory();
            }
        }
    }
    std::free(views);
    return made_them;
}

}  // namespace

static PyObject* py_get_code_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames)
{
    if (tw::refused_keywords("get_code_info", kwnames)) {
        return nullptr;
    }
    PyObject* func = only_argument(args, nargs);  // borrowed
    if (func == nullptr) {
        Py_RETURN_NONE;
    }
    return extract_record(*get_frameinfo_state(self), func, kFunctionRecord);
}

static PyObject* py_get_frame_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames)
{
    if (tw::refused_keywords("get_frame_info", kwnames)) {
        return nullptr;
    }
    PyObject* frame = only_argument(args, nargs);  // borrowed
    if (frame == nullptr) {
        Py_RETURN_NONE;
    }
    return extract_record(*get_frameinfo_state(self), frame, kFrameRecord);
}

static PyObject* py_is_user_code_func(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames)
{
    if (tw::refused_keywords("is_user_code_func", kwnames)) {
        return nullptr;
    }
    PyObject* func = only_argument(args, nargs);  // borrowed
    if (func == nullptr) {
        Py_RETURN_FALSE;
    }
    const Ref code = function_code(func);
    const Ref filename = code ? code_filename(code.get()) : Ref();
    const char* path = filename ? path_bytes(filename.get()) : nullptr;  // borrowed from filename
    if (path == nullptr) {
        return unanswered(Py_False);
    }
    return PyBool_FromLong(is_user_path(*get_frameinfo_state(self), filename.get(), path));
}

static PyObject* py_get_call_site(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    if (tw::refused_keywords("get_call_site", kwnames)) {
        return nullptr;
    }
    if (nargs > 1) {
        Py_RETURN_NONE;
    }
    FrameInfoState& state = *get_frameinfo_state(self);
    if (state.code_slot == kCodeSlotNotRequested) {
        state.code_slot = twfi::frames::request_code_slot();
    }
    if (nargs == 0) {
        return walk_to_call_site(state, twfi::frames::Walk::from_caller());
    }
    return call_site_from(state, args[0]);
}

static PyObject* py_init_user_code(PyObject* self, PyObject* args)
{
    PyObject* include = nullptr;  // borrowed
    PyObject* exclude = nullptr;  // borrowed
    if (!PyArg_ParseTuple(args, "OO", &include, &exclude)) {
        return nullptr;
    }
    // The rules in force stay until both lists have loaded whole.
    twfi::UserCodeRules rules;
    if (!rules_of(include, exclude, &rules)) {
        return nullptr;
    }
    FrameInfoState& state = *get_frameinfo_state(self);
    twfi::free_rules(state.rules);
    state.rules = rules;
    // Every verdict kept under the rules before is judged again.
    ++state.rule_generation;
    Py_RETURN_TRUE;
}

static PyMethodDef TWFrameInfoMethods[] = {
    {"get_code_info", tw::method_entry(py_get_code_info), METH_FASTCALL | METH_KEYWORDS,
     "Extract (filename, lineno, name, is_user) from function. Returns None if not user code."},
    {"get_frame_info", tw::method_entry(py_get_frame_info), METH_FASTCALL | METH_KEYWORDS,
     "Extract (filename, lineno, name, is_user) from frame. Returns None if not user code."},
    {"is_user_code_func", tw::method_entry(py_is_user_code_func), METH_FASTCALL | METH_KEYWORDS,
     "Quick check if function is user code."},
    {"get_call_site", tw::method_entry(py_get_call_site), METH_FASTCALL | METH_KEYWORDS,
     "Extract (filename, lineno, name, is_user) from the nearest user-code frame, walking outward from frame "
     "(default: the caller's frame). Returns None if there is none."},
    {"init_user_code", py_init_user_code, METH_VARARGS,
     "Initialize with the path prefixes of user code (include) and of code that is not (exclude), over the built-in "
     "rule (called at patch time)"},
    {nullptr, nullptr, 0, nullptr},
};

// Runs in every interpreter that imports the module: its slot is requested only when it walks.
static int frameinfo_exec(PyObject* module)
{
    FrameInfoState& state = *get_frameinfo_state(module);
    state.code_slot = kCodeSlotNotRequested;
    state.rule_generation = 0;
    state.slot_read_in_place = false;
    state.rules = twfi::UserCodeRules{};
    return 0;
}

// With the module (and, at the latest, with its interpreter).
static void frameinfo_free(void* module)
{
    FrameInfoState* state = get_frameinfo_state(static_cast<PyObject*>(module));
    if (state != nullptr) {
        twfi::free_rules(state->rules);
    }
}

static PyModuleDef_Slot TWFrameInfoSlots[] = {
    {Py_mod_exec, tw::slot_entry(frameinfo_exec)},
    TW_PER_INTERPRETER_GIL_SLOT
    {0, nullptr},
};

static struct PyModuleDef twframeinfomodule = {
    PyModuleDef_HEAD_INIT,
    /* m_name */ "_twframeinfo",
    /* m_doc */ "Ultra-fast frame introspection for network hop capture",
    /* m_size */ sizeof(FrameInfoState),
    /* m_methods */ TWFrameInfoMethods,
    /* m_slots */ TWFrameInfoSlots,
    /* m_traverse */ nullptr,
    /* m_clear */ nullptr,
    /* m_free */ frameinfo_free,
};

PyMODINIT_FUNC PyInit__twframeinfo(void)
{
    return PyModuleDef_Init(&twframeinfomodule);
}
