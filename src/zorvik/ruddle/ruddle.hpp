// The records of zorvik.ruddle's types and the signatures of what its
// `__pyx_capi__` publishes, shared by ruddle and by the modules that import them.
#pragma once

#include <Python.h>

namespace zorvik::ruddle {

// Native method table of `pellock`. The type has no native methods yet; the
// table exists so that importers can find it through `__pyx_vtable__`.
struct PellockVtable {
    int reserved;
};

struct PellockObject {
    PyObject_HEAD
    PellockVtable *vtab;
};

struct GridletObject {
    PyObject_HEAD
};

using MystringFromPointer = PyObject *(*)(void *);

inline constexpr const char mystring_from_pointer_signature[] = "PyObject *(void *)";
inline constexpr const char object_variable_signature[] = "PyObject *";
inline constexpr const char int_variable_signature[] = "int";

}  // namespace zorvik::ruddle
