// Ref, an owned reference to a Python object: how the C++ code of every
// extension module holds the references the C API hands it. A Ref releases
// its reference when it goes, on every way out of a function, so that no
// function counts references by hand and an early return can neither leak
// nor free twice. It is move-only: each reference has one owner, and a second
// one is taken on purpose (Ref::borrow, new_reference()).
//
// Raw pointers stay where the interpreter dictates the form:
// - the fields of an object's record, which is C memory laid out for the
//   interpreter (and, for brandel and fennick, a binary interface other
//   extensions read): tp_new fills them, tp_traverse visits them, tp_clear
//   and tp_dealloc empty them with Py_CLEAR; store_field() replaces one;
// - state that lives as long as the process (static types, interned names,
//   objects a module keeps from its start-up on), which is never released.
#pragma once

#include <Python.h>

#include <utility>

namespace zorvik::capi {

class Ref {
public:
    Ref() noexcept = default;

    // Takes over a new reference, as most functions of the C API return
    // them; null (a failed call, whose exception stays set) gives an empty Ref.
    [[nodiscard]] static Ref steal(PyObject *object) noexcept { return Ref(object); }
    // Takes a reference of its own to an object borrowed from elsewhere, so
    // that it stays alive while Python code runs; null gives an empty Ref.
    [[nodiscard]] static Ref borrow(PyObject *object) noexcept { return Ref(Py_XNewRef(object)); }

    Ref(Ref &&other) noexcept : object_(other.release()) {}
    // The object held so far is released after the store, as Py_XSETREF does:
    // its finaliser may run code that reads whatever holds this Ref.
    Ref &operator=(Ref &&other) noexcept {
        Ref previous(std::exchange(object_, other.release()));
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() {
        if (object_ != nullptr && thread_may_release()) Py_DECREF(object_);
    }

    // Borrowed: valid while the Ref holds it.
    PyObject *get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference over: to the caller, or to a function that steals it.
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(object_, nullptr); }
    // A second reference to the object (null when empty); the Ref keeps its own.
    [[nodiscard]] PyObject *new_reference() const noexcept { return Py_XNewRef(object_); }
    void reset() noexcept { Ref previous(std::move(*this)); }

private:
    explicit Ref(PyObject *object) noexcept : object_(object) {}

    // A thread that the interpreter ends while it finalises (one that asked
    // for the interpreter lock back, from a wait of the core or from Python
    // code that let the lock go) unwinds its stack without holding that lock:
    // it must not touch objects, so its references stay, as the process is
    // ending. The lock is asked about only once finalisation has begun.
    static bool thread_may_release() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
        const bool finalizing = Py_IsFinalizing() != 0;
#else
        const bool finalizing = _Py_IsFinalizing() != 0;
#endif
        return !finalizing || PyGILState_Check() != 0;
    }

    PyObject *object_ = nullptr;
};

// Stores `value` in a field that owns its reference (of an object's record,
// or of the state a module keeps: see above), releasing what the field held
// after the store, as Py_XSETREF does.
// `Object` is PyObject or a record that starts with one (PyTypeObject).
template <class Object>
void store_field(Object *&field, Ref value) noexcept {
    Py_XSETREF(field, reinterpret_cast<Object *>(value.release()));
}

}  // namespace zorvik::capi
