// The one place where failures of the core become Python exceptions, and the
// traceback entries that name the operation that failed.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include "zorvik/capi/ref.hpp"

namespace zorvik::binding {

using capi::Ref;

// Call from inside a `catch (...)` block: turns the exception in flight into a
// Python exception. An already pending Python exception wins; the core's
// failure is then dropped. Never throws.
void set_exception_from_core() noexcept;

// Runs `operation` (a call into the core); a thrown failure becomes a Python
// exception. True on success. The one thing that passes through is the forced
// unwind with which the interpreter ends a thread during its shutdown: it
// must reach the thread's end, and the core's guards release their locks on
// the way.
template <class Operation>
bool call_core(Operation &&operation) {
    try {
        operation();
        return true;
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
        set_exception_from_core();
        return false;
    }
}

// Adds an entry named `function_name` to the traceback of the pending exception.
void add_traceback(const char *function_name, const char *file_name, int line) noexcept;

// The pending exception as one object (empty when none), and back. The pair
// sets an exception aside across code that must run with none pending; an
// exception taken and not restored is dropped with its Ref.
Ref take_exception() noexcept;
void restore_exception(Ref exception) noexcept;

}  // namespace zorvik::binding
