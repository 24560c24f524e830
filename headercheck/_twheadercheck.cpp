// _twheadercheck: decides, for every outbound HTTP request, whether the agent injects its tracing
// headers, and hands back the current trace id and funcspan override with the decision.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "../common/absorb.h"
#include "../common/fastcall.h"
#include "../common/module_slots.h"
#include "../common/pyref.h"
#include "canonical_host.h"
#include "host_key.h"
#include "host_rules.h"
#include "readings.h"
#include "skip_table.h"

using tw::Ref;

// One interpreter's header check: its agent's objects and its skip table. Each interpreter that
// imports the module gets a module object, and this state, of its own; a call reaches it through
// the module it is called on, so nothing here is ever seen from another interpreter.
struct HeaderCheckState {
    // The skip-domain table: each entry as its rule is indexed by (a host's key, a domain's
    // canonical host, "*"), malloc'd and NUL-terminated; null when empty.
    char** g_skip_domains;
    // Number of entries in g_skip_domains; 0 whenever it is null.
    int32_t g_skip_domains_count;
    // The entries' rules, hashed so that a lookup costs the same at any table size; their indexes
    // are null exactly when g_skip_domains is.
    twhc::HostRules g_skip_rules;
    // The propagation targets, kept as the skip list's entries are: the hosts that may receive
    // the headers at all, when g_targets_loaded.
    char** g_propagation_targets;
    int32_t g_propagation_targets_count;
    twhc::HostRules g_target_rules;
    // Whether targets are loaded (an empty list of them is: the headers then go nowhere).
    bool g_targets_loaded;
    // Whether a decision needs more than the skip list's hosts: its other rules, or targets.
    bool g_take_the_long_way;
    // The agent's trace_id_ctx: only its presence matters.
    PyObject* g_trace_id_ctx;
    // The agent's funcspan_override_ctx context variable.
    PyObject* g_funcspan_ctx;
    // The agent's get_or_set_tw_trace_id callable.
    PyObject* g_get_or_set_func;
};

static HeaderCheckState* get_headercheck_state(PyObject* module)
{
    return static_cast<HeaderCheckState*>(PyModule_GetState(module));
}

namespace {

// A table of host rules: the entries as indexed, and the indexes into them.
struct RuleTable {
    char** entries;
    int32_t count;
    twhc::HostRules rules;
};

void free_table(RuleTable table)
{
    for (int32_t i = 0; i < table.count; ++i) {
        std::free(table.entries[i]);
    }
    std::free(table.entries);
    twhc::free_rules(table.rules);
}

void choose_paths(HeaderCheckState& state)
{
    state.g_take_the_long_way = state.g_skip_rules.beyond_hosts || state.g_targets_loaded;
}

// Detaches the published table before freeing it, so that the state never points at freed memory.
void drop_skip_domains(HeaderCheckState& state)
{
    const RuleTable table{state.g_skip_domains, state.g_skip_domains_count, state.g_skip_rules};
    state.g_skip_domains = nullptr;
    state.g_skip_domains_count = 0;
    state.g_skip_rules = twhc::HostRules{};
    choose_paths(state);
    free_table(table);
}

// The same for the targets: afterwards none are loaded, and every host is a target again.
void drop_propagation_targets(HeaderCheckState& state)
{
    const RuleTable table{state.g_propagation_targets, state.g_propagation_targets_count, state.g_target_rules};
    state.g_propagation_targets = nullptr;
    state.g_propagation_targets_count = 0;
    state.g_target_rules = twhc::HostRules{};
    state.g_targets_loaded = false;
    choose_paths(state);
    free_table(table);
}

// Clear before release: releasing can run Python code, which may call back into this module.
void drop_agent_objects(HeaderCheckState& state)
{
    Py_CLEAR(state.g_trace_id_ctx);
    Py_CLEAR(state.g_funcspan_ctx);
    Py_CLEAR(state.g_get_or_set_func);
}

// Lower-cases an international name as the clients do, with str.lower(). A name the interpreter
// can't lower-case (it is out of memory) keeps its bytes; a stop request is never absorbed.
twhc::LowerCase::Result lower_with_interpreter(void* /*context*/, std::string_view utf8, twhc::HostBuffer& out)
{
    const Ref text = Ref::steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
    const Ref lowered = text ? Ref::steal(PyObject_CallMethod(text.get(), "lower", nullptr)) : Ref();
    Py_ssize_t size = 0;
    const char* bytes = lowered ? PyUnicode_AsUTF8AndSize(lowered.get(), &size) : nullptr;
    if (bytes == nullptr) {
        return tw::absorb_error() ? twhc::LowerCase::unchanged : twhc::LowerCase::stopped;
    }
    out.append(std::string_view(bytes, static_cast<size_t>(size)));
    return twhc::LowerCase::lowered;
}

constexpr twhc::LowerCase kInterpreterLowerCase{lower_with_interpreter, nullptr};

// Encodes an international name with the standard library's "idna" codec (IDNA 2003), the form in
// which urllib.request and http.client resolve it. A name the codec refuses has no such form; a
// stop request is never absorbed.
twhc::Idna2003::Result idna2003_with_interpreter(void* /*context*/, std::string_view utf8, twhc::HostBuffer& out)
{
    const Ref text = Ref::steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
    const Ref encoded = text ? Ref::steal(PyUnicode_AsEncodedString(text.get(), "idna", "strict")) : Ref();
    if (!encoded) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            // Out of memory: the name may well have a form, so none is made up (see Readings).
            PyErr_Clear();
            return twhc::Idna2003::no_memory;
        }
        return tw::absorb_error() ? twhc::Idna2003::refused : twhc::Idna2003::stopped;
    }
    const std::string_view bytes(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    return out.append(bytes) ? twhc::Idna2003::encoded : twhc::Idna2003::no_memory;
}

constexpr twhc::Idna2003 kInterpreterIdna2003{idna2003_with_interpreter, nullptr};

// False with the error set when a rule could not be made: the memory error, or a stop request
// already pending.
bool rule_made(twhc::CanonicalOutcome outcome)
{
    switch (outcome) {
    case twhc::CanonicalOutcome::done:
        return true;
    case twhc::CanonicalOutcome::no_memory:
        PyErr_NoMemory();
        return false;
    case twhc::CanonicalOutcome::stopped:
        return false;
    }
    return false;
}

// A rule's text as a malloc'd NUL-terminated copy (keys never hold a NUL: the canonical host keeps
// "%00" escaped); null with the memory error.
char* rule_copy(twhc::RuleKind kind, std::string_view canonical)
{
    const std::string_view text = kind == twhc::RuleKind::every_host ? std::string_view("*") : canonical;
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (!text.empty()) {
        std::memcpy(copy, text.data(), text.size());
    }
    copy[text.size()] = '\0';
    return copy;
}

// One entry as its rule is indexed by, as rule_copy gives it. Null with the error set on failure.
char* entry_rule(std::string_view entry, twhc::RuleKind* kind)
{
    twhc::HostBuffer canonical;
    return rule_made(twhc::canonical_rule(entry, kInterpreterLowerCase, canonical, kind)) ? rule_copy(*kind, canonical.view())
                                                                                          : nullptr;
}

// A skip entry's second form, where IDNA 2003 reads its name otherwise (see twhc::idna2003_rule),
// into *second as rule_copy gives it, null when there is none. False with the error set on failure.
bool entry_second_rule(std::string_view entry, twhc::RuleKind* kind, char** second)
{
    *second = nullptr;
    twhc::HostBuffer canonical;
    bool exists = false;
    if (!rule_made(twhc::idna2003_rule(entry, kInterpreterLowerCase, kInterpreterIdna2003, canonical, kind, &exists))) {
        return false;
    }
    if (exists) {
        *second = rule_copy(*kind, canonical.view());
    }
    return !exists || *second != nullptr;
}

// Entries as they are made, with what each says until the indexes are made; room for one entry
// an item at first, more only when a skip entry has a second form.
struct TableDraft {
    RuleTable table;
    twhc::RuleKind* kinds;
    size_t capacity;

    void discard()
    {
        std::free(kinds);
        free_table(table);
    }

    // Takes copy (null: the error is set) into the draft; false with the error set on failure.
    bool add(char* copy, twhc::RuleKind kind)
    {
        if (copy == nullptr) {
            return false;
        }
        if (static_cast<size_t>(table.count) == capacity) {
            // A table's count is an int32_t.
            const size_t grown = capacity < INT32_MAX / 2 ? capacity * 2 : INT32_MAX;
            auto* entries = grown > capacity ? static_cast<char**>(std::realloc(table.entries, grown * sizeof(char*))) : nullptr;
            if (entries != nullptr) {
                table.entries = entries;
            }
            auto* more_kinds = entries != nullptr ? static_cast<twhc::RuleKind*>(std::realloc(kinds, grown * sizeof(twhc::RuleKind)))
                                                  : nullptr;
            if (more_kinds == nullptr) {
                std::free(copy);
                PyErr_NoMemory();
                return false;
            }
            kinds = more_kinds;
            capacity = grown;
        }
        table.entries[table.count] = copy;
        kinds[table.count] = kind;
        ++table.count;
        return true;
    }
};

// Builds a table of rules from the list's items; a skip list (second_forms) also indexes each
// entry's IDNA 2003 form where it differs. On failure returns false with the error set and
// nothing allocated. International entries are lower-cased and encoded by the interpreter, which
// may run a finalizer and so let another thread in: the items are read from a copy of the list
// that no other code can reach, and nothing is published here.
bool build_table(PyObject* list, const char* items_message, bool second_forms, RuleTable* out)
{
    const Ref items = Ref::steal(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
    if (!items) {
        return false;
    }
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    if (count > INT32_MAX) {
        PyErr_NoMemory();
        return false;
    }
    TableDraft draft{{static_cast<char**>(std::malloc(static_cast<size_t>(count) * sizeof(char*))), 0, {}},
                     static_cast<twhc::RuleKind*>(std::malloc(static_cast<size_t>(count) * sizeof(twhc::RuleKind))),
                     static_cast<size_t>(count)};
    if (draft.table.entries == nullptr || draft.kinds == nullptr) {
        draft.discard();
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);  // borrowed from the copy
        if (!PyUnicode_Check(item)) {
            draft.discard();
            PyErr_SetString(PyExc_TypeError, items_message);
            return false;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (utf8 == nullptr) {
            draft.discard();
            return false;
        }
        const std::string_view entry{utf8, strnlen(utf8, static_cast<size_t>(size))};
        twhc::RuleKind kind{};
        char* const first = entry_rule(entry, &kind);
        if (!draft.add(first, kind)) {
            draft.discard();
            return false;
        }
        char* second = nullptr;
        if (second_forms && (!entry_second_rule(entry, &kind, &second) || (second != nullptr && !draft.add(second, kind)))) {
            draft.discard();
            return false;
        }
    }
    size_t domains = 0;
    for (int32_t i = 0; i < draft.table.count; ++i) {
        domains += draft.kinds[i] == twhc::RuleKind::domain_and_below || draft.kinds[i] == twhc::RuleKind::below_domain;
    }
    if (!twhc::make_rules(static_cast<size_t>(draft.table.count) - domains, domains, &draft.table.rules)) {
        draft.discard();
        PyErr_NoMemory();
        return false;
    }
    for (int32_t i = 0; i < draft.table.count; ++i) {
        twhc::add_rule(draft.table.rules, draft.kinds[i], draft.table.entries[i]);
    }
    std::free(draft.kinds);
    *out = draft.table;
    return true;
}

// The agent's objects as its module has them at import; any of them may be missing.
struct AgentObjects {
    Ref trace_id_ctx;
    Ref funcspan_ctx;
    Ref get_or_set_func;
};

// One attribute of the agent's module. A missing one, or an ordinary error of a module
// __getattr__, is not an error of the import: false only when an interrupt is pending.
bool read_agent_attribute(PyObject* agent, const char* name, Ref& value)
{
    value = Ref::steal(PyObject_GetAttrString(agent, name));
    return value || tw::absorb_error();
}

// Imports the calling interpreter's agent and reads the objects the decision uses. An agent that
// can't be imported leaves found empty. False only when an interrupt is pending.
bool find_agent_objects(AgentObjects& found)
{
    const Ref agent = Ref::steal(PyImport_ImportModule("tw_vantrel.thread_local"));
    if (!agent) {
        // Without the agent the module still answers, with no trace id and no override.
        return tw::absorb_error();
    }
    if (!read_agent_attribute(agent.get(), "trace_id_ctx", found.trace_id_ctx) ||
        !read_agent_attribute(agent.get(), "funcspan_override_ctx", found.funcspan_ctx) ||
        !read_agent_attribute(agent.get(), "get_or_set_tw_trace_id", found.get_or_set_func)) {
        return false;
    }
    if (found.get_or_set_func && !PyCallable_Check(found.get_or_set_func.get())) {
        found.get_or_set_func = Ref();
    }
    return true;
}

// Second item of get_or_set_tw_trace_id()'s 2-tuple, left null when there is none. False only when
// the agent's call was interrupted; the interrupt is then pending.
bool fetch_trace_id(const HeaderCheckState& state, Ref& trace_id)
{
    if (state.g_trace_id_ctx == nullptr || state.g_get_or_set_func == nullptr) {
        return true;
    }
    // Our own reference: the call runs agent code, during which another thread may run cleanup.
    const Ref func = Ref::borrow(state.g_get_or_set_func);
    const Ref result = Ref::steal(PyObject_CallNoArgs(func.get()));
    if (!result) {
        return tw::absorb_error();
    }
    if (PyTuple_Check(result.get()) && PyTuple_GET_SIZE(result.get()) == 2) {
        trace_id = Ref::borrow(PyTuple_GET_ITEM(result.get(), 1));
    }
    return true;
}

// The override's value in the current context, left null when nothing is bound or the bound
// object is no context variable; a default the variable was created with is never used. False
// only when an interrupt is pending.
bool fetch_funcspan_override(const HeaderCheckState& state, Ref& funcspan_override)
{
    if (state.g_funcspan_ctx == nullptr) {
        return true;
    }
    // Borrowed: reading a context variable runs no Python code, so nothing can let it go meanwhile.
    PyObject* value = nullptr;
    if (PyContextVar_Get(state.g_funcspan_ctx, Py_None, &value) < 0) {
        return tw::absorb_error();
    }
    funcspan_override = Ref::steal(value);
    return true;
}

// The URL argument's UTF-8 bytes, as PyArg_ParseTuple(args, "s", ...) takes them, without an
// argument tuple. Anything out of the ordinary goes to the parser itself, so that every error
// is the parser's own.
const char* parse_url_argument(PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs == 1 && PyUnicode_Check(args[0])) {
        PyObject* text = args[0];  // borrowed
        Py_ssize_t size = 0;
        const char* url = nullptr;
        if (PyUnicode_IS_COMPACT_ASCII(text)) {
            // Its own UTF-8: the converter would hand back these very bytes, at the price of a call.
            url = static_cast<const char*>(PyUnicode_DATA(text));
            size = PyUnicode_GET_LENGTH(text);
        } else {
            url = PyUnicode_AsUTF8AndSize(text, &size);
        }
        if (url != nullptr && std::strlen(url) == static_cast<size_t>(size)) {
            return url;
        }
        PyErr_Clear();
    }
    const Ref arguments = Ref::steal(PyTuple_New(nargs));
    if (arguments) {
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            PyTuple_SET_ITEM(arguments.get(), i, Py_NewRef(args[i]));
        }
    }
    const char* url = nullptr;
    if (!arguments || !PyArg_ParseTuple(arguments.get(), "s", &url)) {
        return nullptr;
    }
    return url;
}

// The decision for a canonical host by this interpreter's skip list and targets.
template <twhc::KeyCase kCase>
bool decide(const HeaderCheckState& state, std::string_view host, bool is_address)
{
    return twhc::should_inject<kCase>(state.g_skip_domains_count > 0 ? &state.g_skip_rules : nullptr,
                                      state.g_targets_loaded ? &state.g_target_rules : nullptr, host, is_address);
}

// The decision, out of the common path, for a host part that needs the rare canonical steps, or
// for a common host when the skip list holds more than hosts or targets are loaded. False only
// when a stop request is pending. An international name is lower-cased by the interpreter, which
// may run a finalizer and let another thread in: the whole key is made before the tables are read
// again.
[[gnu::noinline]] bool decide_common_host(const HeaderCheckState& state, std::string_view host_part, bool* should_inject)
{
    *should_inject = decide<twhc::KeyCase::any_case_name>(state, host_part, false);
    return true;
}

// Every reading of the URL is made first; a reading that could not be made for want of memory is
// no host, which no rule matches and no error is raised for: the headers go, unless targets say
// where they may go and that is not everywhere.
[[gnu::noinline]] bool decide_rare_host(const HeaderCheckState& state, const char* url, std::string_view host_part,
                                        bool* should_inject)
{
    twhc::Readings readings;
    if (twhc::url_readings(url, host_part, kInterpreterLowerCase, kInterpreterIdna2003, readings) ==
        twhc::CanonicalOutcome::stopped) {
        return false;
    }
    *should_inject = twhc::should_inject_every(state.g_skip_domains_count > 0 ? &state.g_skip_rules : nullptr,
                                               state.g_targets_loaded ? &state.g_target_rules : nullptr, readings);
    return true;
}

// Two paths, each with a frame of its own, behind one call from the common path.
bool decide_the_long_way(const HeaderCheckState& state, const char* url, const twhc::HostPart& part, bool* should_inject)
{
    return part.rare ? decide_rare_host(state, url, part.text, should_inject)
                     : decide_common_host(state, part.text, should_inject);
}

PyObject* new_ref_or_none(Ref& value)
{
    return value ? value.release() : Py_NewRef(Py_None);
}

}  // namespace

static PyObject* py_init_header_check(PyObject* self, PyObject* args)
{
    PyObject* skip_list = nullptr;  // borrowed
    if (!PyArg_ParseTuple(args, "O", &skip_list)) {
        return nullptr;
    }
    // The table in force stays until the new one has loaded whole: a load that fails part-way (one
    // bad item in a configuration file) must not send the headers to every skip-listed host.
    if (!PyList_Check(skip_list)) {
        PyErr_SetString(PyExc_TypeError, "skip_list must be a list");
        return nullptr;
    }
    RuleTable table{};
    if (PyList_GET_SIZE(skip_list) > 0 && !build_table(skip_list, "skip_list items must be strings", true, &table)) {
        return nullptr;
    }
    // Another thread may have loaded a table while an entry was lower-cased: the last load wins,
    // and nothing is leaked.
    HeaderCheckState& state = *get_headercheck_state(self);
    drop_skip_domains(state);
    state.g_skip_domains = table.entries;
    state.g_skip_domains_count = table.count;
    state.g_skip_rules = table.rules;
    choose_paths(state);
    Py_RETURN_TRUE;
}

static PyObject* py_should_inject_headers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames)
{
    if (tw::refused_keywords("should_inject_headers", kwnames)) {
        return nullptr;
    }
    const char* url = parse_url_argument(args, nargs);  // borrowed from the argument
    if (url == nullptr) {
        return nullptr;
    }
    const HeaderCheckState& state = *get_headercheck_state(self);
    Ref trace_id;
    Ref funcspan_override;
    if (!fetch_trace_id(state, trace_id) || !fetch_funcspan_override(state, funcspan_override)) {
        return nullptr;
    }

    // Read only now: the agent's code above may have let another thread replace or free the
    // table. From here to the end of the lookup no Python code runs, but for the rare host's.
    bool should_inject = true;
    if (state.g_skip_domains_count > 0 || state.g_targets_loaded) {
        const twhc::HostPart part = twhc::host_part(url);
        // The common host against a skip list of hosts alone; everything else out of this path.
        if (!part.rare && !state.g_take_the_long_way) {
            should_inject = !twhc::skip_index_contains<twhc::KeyCase::any_case_name>(*state.g_skip_rules.hosts,
                                                                                     twhc::key_of(part.text));
        } else if (!decide_the_long_way(state, url, part, &should_inject)) {
            return nullptr;
        }
    }

    PyObject* result = PyTuple_New(3);
    if (result == nullptr) {
        return nullptr;
    }
    PyTuple_SET_ITEM(result, 0, Py_NewRef(should_inject ? Py_True : Py_False));
    PyTuple_SET_ITEM(result, 1, new_ref_or_none(trace_id));
    PyTuple_SET_ITEM(result, 2, new_ref_or_none(funcspan_override));
    return result;
}

static PyObject* py_cleanup(PyObject* self, PyObject* /*unused*/)
{
    HeaderCheckState& state = *get_headercheck_state(self);
    drop_skip_domains(state);
    drop_propagation_targets(state);
    drop_agent_objects(state);
    Py_RETURN_NONE;
}

static PyObject* py_init_propagation_targets(PyObject* self, PyObject* args)
{
    PyObject* targets = nullptr;  // borrowed
    if (!PyArg_ParseTuple(args, "O", &targets)) {
        return nullptr;
    }
    // Unlike the skip list, the targets in force stay until a new list is built: with none, every
    // host would be a target, and a failed load must not send the headers everywhere.
    if (!PyList_Check(targets)) {
        PyErr_SetString(PyExc_TypeError, "targets must be a list");
        return nullptr;
    }
    RuleTable table{};
    if (PyList_GET_SIZE(targets) > 0 && !build_table(targets, "targets items must be strings", false, &table)) {
        return nullptr;
    }
    HeaderCheckState& state = *get_headercheck_state(self);
    drop_propagation_targets(state);
    state.g_propagation_targets = table.entries;
    state.g_propagation_targets_count = table.count;
    state.g_target_rules = table.rules;
    state.g_targets_loaded = true;
    choose_paths(state);
    Py_RETURN_TRUE;
}

// Runs in every interpreter that imports the module, on that interpreter's new module: it binds
// that interpreter's agent. An interrupt fails the import, as it would any import, and nothing
// half-bound stays behind.
static int headercheck_exec(PyObject* module)
{
    AgentObjects found;
    if (!find_agent_objects(found)) {
        return -1;
    }
    HeaderCheckState& state = *get_headercheck_state(module);
    state.g_trace_id_ctx = found.trace_id_ctx.release();
    state.g_funcspan_ctx = found.funcspan_ctx.release();
    state.g_get_or_set_func = found.get_or_set_func.release();
    return 0;
}

static int headercheck_traverse(PyObject* module, visitproc visit, void* arg)
{
    const HeaderCheckState* state = get_headercheck_state(module);
    if (state != nullptr) {
        Py_VISIT(state->g_trace_id_ctx);
        Py_VISIT(state->g_funcspan_ctx);
        Py_VISIT(state->g_get_or_set_func);
    }
    return 0;
}

static int headercheck_clear(PyObject* module)
{
    HeaderCheckState* state = get_headercheck_state(module);
    if (state != nullptr) {
        drop_agent_objects(*state);
    }
    return 0;
}

// With the module (and, at the latest, with its interpreter): the objects are released in the
// interpreter that bound them, the table goes with them.
static void headercheck_free(void* module)
{
    HeaderCheckState* state = get_headercheck_state(static_cast<PyObject*>(module));
    if (state != nullptr) {
        drop_agent_objects(*state);
        drop_skip_domains(*state);
        drop_propagation_targets(*state);
    }
}

static PyMethodDef TWHeaderCheckMethods[] = {
    {"init_header_check", py_init_header_check, METH_VARARGS,
     "Initialize with domains to skip (called at patch time)"},
    {"should_inject_headers", tw::method_entry(py_should_inject_headers), METH_FASTCALL | METH_KEYWORDS,
     "Ultra-fast header check (returns: should_inject, trace_id, funcspan_override)"},
    {"cleanup", py_cleanup, METH_NOARGS, "Cleanup allocated memory"},
    {"init_propagation_targets", py_init_propagation_targets, METH_VARARGS,
     "Initialize with the hosts that may receive the headers, an allow list beside the skip list (called at patch time)"},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef_Slot TWHeaderCheckSlots[] = {
    {Py_mod_exec, tw::slot_entry(headercheck_exec)},
    TW_PER_INTERPRETER_GIL_SLOT
    {0, nullptr},
};

static struct PyModuleDef twheadercheckmodule = {
    PyModuleDef_HEAD_INIT,
    /* m_name */ "_twheadercheck",
    /* m_doc */ "Ultra-fast header injection check with domain filtering in C (<10ns overhead)",
    /* m_size */ sizeof(HeaderCheckState),
    /* m_methods */ TWHeaderCheckMethods,
    /* m_slots */ TWHeaderCheckSlots,
    /* m_traverse */ headercheck_traverse,
    /* m_clear */ headercheck_clear,
    /* m_free */ headercheck_free,
};

PyMODINIT_FUNC PyInit__twheadercheck(void)
{
    return PyModuleDef_Init(&twheadercheckmodule);
}
