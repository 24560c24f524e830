// The one place that knows how CPython keeps a thread's frames and the data tools attach to code
// objects, both of which change from version to version. The call-site walk asks it for "the
// caller's frame", "the frame before", "its code" and "its line", and for the word kept with a
// code object; it never sees a field. (It also reads a module's state in place, which every method
// does first.)
//
// 3.11 to 3.15 keep each running call in a frame record of the interpreter's own, linked to the
// one before; a frame object is made for a record only when Python code asks for one. Reading the
// records makes none: f_back, and PyFrame_GetBack, make one for every frame they pass. Any other
// version (or TW_PUBLIC_FRAME_API) walks with the public frame calls, which are slower but known
// to every version.
#pragma once

#include <Python.h>

#include <cstdint>

#if !defined(TW_PUBLIC_FRAME_API) && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x03100000
#define TW_FRAME_RECORDS 1
#endif

#if defined(TW_FRAME_RECORDS)
// The records are declared only for the interpreter's own build; the declarations are what this
// version's headers say, so nothing of their layout is written out here.
#ifndef Py_BUILD_CORE
#define Py_BUILD_CORE 1
#define TW_DEFINED_BUILD_CORE 1
#endif
#if PY_VERSION_HEX >= 0x030E0000
#include <internal/pycore_frame.h>
#include <internal/pycore_interpframe.h>
#else
#include <internal/pycore_frame.h>
#endif
#include <internal/pycore_moduleobject.h>
#ifdef TW_DEFINED_BUILD_CORE
#undef Py_BUILD_CORE
#undef TW_DEFINED_BUILD_CORE
#endif
#endif

namespace twfi::frames {

// A module's state: the exported call checks the module's type first, which a method's own module
// never needs.
inline void* module_state(PyObject* module) noexcept
{
#if defined(TW_FRAME_RECORDS)
    return _PyModule_GetState(module);
#else
    return PyModule_GetState(module);
#endif
}

#if defined(TW_FRAME_RECORDS)

inline constexpr const char* kWalkMechanism = "frame records";

// A place in a thread's frames: one record of a Python call, and the frame object that stands for
// it, if it has one. The interpreter's own entry records (which f_back passes over too) are never
// a place; a call still setting itself up is, until complete() says otherwise: that takes a few
// loads, which only the frame that may be the answer is worth.
class Walk {
public:
    // The Python frame that called the running C function; done() when there is none.
    static Walk from_caller() noexcept
    {
        PyThreadState* thread = PyThreadState_Get();
        Walk walk(nullptr, nullptr);
#if PY_VERSION_HEX >= 0x030D0000
        walk.settle(thread->current_frame);
#else
        walk.settle(thread->cframe->current_frame);
#endif
        return walk;
    }

    // From a frame object, borrowed: it outlives the walk.
    static Walk from_frame(PyFrameObject* frame) noexcept { return Walk(frame->f_frame, frame); }

    bool done() const noexcept { return record_ == nullptr; }

    // Borrowed: the record holds it.
    PyCodeObject* code() const noexcept
    {
#if PY_VERSION_HEX >= 0x030D0000
        return _PyFrame_GetCode(record_);
#else
        return record_->f_code;
#endif
    }

    // Whether the call has begun running its own code; f_back passes over one that has not.
    bool complete() const noexcept { return !_PyFrame_IsIncomplete(record_); }

    // As f_lineno gives it (a debugger may have set a frame object's); negative when the
    // instruction has no line.
    int line() const noexcept
    {
        if (object_ != nullptr) {
            return PyFrame_GetLineNumber(object_);
        }
#if PY_VERSION_HEX >= 0x030C0000
        return PyUnstable_InterpreterFrame_GetLine(record_);
#else
        return PyCode_Addr2Line(record_->f_code,
                                _PyInterpreterFrame_LASTI(record_) * static_cast<int>(sizeof(_Py_CODEUNIT)));
#endif
    }

    // The frame f_back gives, but for completeness. A call that has returned keeps its record
    // inside its frame object, and the caller it had is that object's f_back; a running call's
    // caller is the record before.
    void next() noexcept
    {
        if (object_ != nullptr && object_->f_back != nullptr) {
            object_ = object_->f_back;
            record_ = object_->f_frame;
        } else {
            settle(record_->previous);
        }
    }

private:
    Walk(_PyInterpreterFrame* record, PyFrameObject* frame_object) noexcept : record_(record), object_(frame_object) {}

    // Whether a record is one of the interpreter's own, at the start of a run of the eval loop:
    // it holds no code object of a call.
    static bool entry_record(const _PyInterpreterFrame* record) noexcept
    {
#if PY_VERSION_HEX >= 0x030E0000
        return record->owner >= FRAME_OWNED_BY_INTERPRETER;
#elif PY_VERSION_HEX >= 0x030C0000
        return record->owner == FRAME_OWNED_BY_CSTACK;
#else
        (void)record;  // 3.11 marks such a record, but it is a call of real code
        return false;
#endif
    }

    void settle(_PyInterpreterFrame* record) noexcept
    {
        while (record != nullptr && entry_record(record)) {
            record = record->previous;
        }
        record_ = record;
        object_ = record != nullptr ? record->frame_obj : nullptr;
    }

    _PyInterpreterFrame* record_;
    PyFrameObject* object_;
};

#else

inline constexpr const char* kWalkMechanism = "public frame API";

// The same walk through frame objects, each made by the interpreter as it is reached. A frame
// object that can't be made (memory) ends the walk, as no frame.
class Walk {
public:
    static Walk from_caller() noexcept { return Walk(PyThreadState_GetFrame(PyThreadState_Get())); }

    static Walk from_frame(PyFrameObject* frame) noexcept
    {
        Py_INCREF(frame);
        return Walk(frame);
    }

    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;
    Walk(Walk&& other) noexcept : frame_(other.frame_) { other.frame_ = nullptr; }
    ~Walk() { Py_XDECREF(frame_); }

    bool done() const noexcept { return frame_ == nullptr; }

    // Borrowed: the frame holds its code object as long as it lives.
    PyCodeObject* code() const noexcept
    {
        PyCodeObject* code = PyFrame_GetCode(frame_);
        Py_DECREF(code);
        return code;
    }

    // Frame objects are made only for calls that have begun.
    bool complete() const noexcept { return true; }

    int line() const noexcept { return PyFrame_GetLineNumber(frame_); }

    void next() noexcept
    {
        PyFrameObject* back = PyFrame_GetBack(frame_);
        Py_DECREF(frame_);
        frame_ = back;
        if (back == nullptr && PyErr_Occurred()) {
            PyErr_Clear();
        }
    }

private:
    explicit Walk(PyFrameObject* frame) noexcept : frame_(frame)
    {
        if (frame == nullptr && PyErr_Occurred()) {
            PyErr_Clear();
        }
    }

    PyFrameObject* frame_;
};

#endif

// A word kept with a code object in a slot the interpreter reserves for a tool, as profilers keep
// theirs. Each interpreter numbers its slots itself, so an index is only ever used in the
// interpreter that gave it; a code object that other interpreters see too (a statically allocated
// one) must never be written.
inline constexpr Py_ssize_t kNoCodeSlot = PY_SSIZE_T_MAX;

// A new slot's index in the calling interpreter, or kNoCodeSlot when it has none left. Nothing
// kept in it needs freeing.
inline Py_ssize_t request_code_slot() noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    const Py_ssize_t index = PyUnstable_Eval_RequestCodeExtraIndex(nullptr);
#else
    const Py_ssize_t index = _PyEval_RequestCodeExtraIndex(nullptr);
#endif
    if (index < 0) {
        PyErr_Clear();
        return kNoCodeSlot;
    }
    return index;
}

// The word in the slot through the interpreter's own call, or 0 when none was kept (or there is
// no slot).
inline std::uintptr_t kept_word_by_call(PyCodeObject* code, Py_ssize_t slot) noexcept
{
    if (slot == kNoCodeSlot) {
        return 0;
    }
    void* word = nullptr;
#if PY_VERSION_HEX >= 0x030C0000
    const int status = PyUnstable_Code_GetExtra(reinterpret_cast<PyObject*>(code), slot, &word);
#else
    const int status = _PyCode_GetExtra(reinterpret_cast<PyObject*>(code), slot, &word);
#endif
    return status == 0 ? reinterpret_cast<std::uintptr_t>(word) : 0;
}

// The same, read in place: the walk reads it for every frame it passes, and the call costs half
// of what a frame does. The slots' layout is private to the interpreter (a count, then the words;
// the same from 3.6 to 3.15), so it is read in place only once a word kept through the
// interpreter's call has been read back the same way (keep_word).
struct CodeSlots {
    Py_ssize_t count;
    void* words[1];
};

inline std::uintptr_t kept_word_in_place(PyCodeObject* code, Py_ssize_t slot) noexcept
{
    const auto* slots = static_cast<const CodeSlots*>(code->co_extra);
    if (slots == nullptr || slot >= slots->count) {
        return 0;
    }
    return reinterpret_cast<std::uintptr_t>(slots->words[slot]);
}

// Keeps the word, when memory allows: it is only ever a saving. True when the word reads back in
// place as the interpreter's call reads it.
inline bool keep_word(PyCodeObject* code, Py_ssize_t slot, std::uintptr_t word) noexcept
{
    if (slot == kNoCodeSlot) {
        return false;
    }
#if PY_VERSION_HEX >= 0x030C0000
    const int status = PyUnstable_Code_SetExtra(reinterpret_cast<PyObject*>(code), slot, reinterpret_cast<void*>(word));
#else
    const int status = _PyCode_SetExtra(reinterpret_cast<PyObject*>(code), slot, reinterpret_cast<void*>(word));
#endif
    if (status < 0) {
        PyErr_Clear();
        return false;
    }
    return kept_word_by_call(code, slot) == word && kept_word_in_place(code, slot) == word;
}

}  // namespace twfi::frames
