// Process-wide state of zorvik.brandel. It is written only while the module is
// initialised (under the import system's lock, with the interpreter lock held)
// and only read afterwards; the module refuses a second interpreter, so one
// copy per process is enough. Its references live as long as the process, so
// they are raw pointers, never released.
#pragma once

#include <Python.h>

#include <cstdint>

#include "zorvik/capi/ref.hpp"
#include "zorvik/fennick/fennick.hpp"
#include "zorvik/ruddle/ruddle.hpp"

namespace zorvik::brandel {

struct ModuleState {
    PyObject *module = nullptr;            // the initialised module (strong reference)
    std::int64_t loading_interpreter = -1;  // id of the interpreter that created it
    PyObject *builtin_super = nullptr;
    PyObject *builtin_hash = nullptr;      // default hash function, as found at start-up

    // Links to the sibling modules.
    PyTypeObject *fennick_type = nullptr;
    PyTypeObject *pellock_type = nullptr;
    PyTypeObject *gridlet_type = nullptr;
    void *pellock_vtable = nullptr;
    fennick::HashKeyFunction hash_key = nullptr;
    ruddle::MystringFromPointer mystring_from_pointer = nullptr;
    PyObject **unsigned_type = nullptr;
    int *mmap_flags = nullptr;
    int *mmap_privilege = nullptr;
    int *platform = nullptr;
};

extern ModuleState module_state;

// Interned attribute and global names, created once at start-up.
struct Names {
    PyObject *dumps, *loads, *encode, *decode, *json;
    PyObject *os, *cpu_count, *multiprocessing, *Pool, *apply_async, *get, *close, *join, *terminate;
    PyObject *dict_expansion, *format, *init, *insert, *remove, *expansion;
};

extern Names names;

// Creates `names`. 0, or -1 with an exception set.
int create_names();

// The module global `name`, looked up in the module namespace and then among
// the built-ins; empty with NameError when neither has it.
capi::Ref module_global(PyObject *name);

}  // namespace zorvik::brandel
