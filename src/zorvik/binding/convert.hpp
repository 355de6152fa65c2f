// Conversions of Python arguments to native values, with the messages callers
// see for each kind of bad value.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zorvik/capi/ref.hpp"

namespace zorvik::binding {

// An int used as it is; any other object through its __int__ (a float is
// truncated). 0 on success, -1 with OverflowError or TypeError set.
int to_size_t(PyObject *object, std::uint64_t *out);
int to_unsigned_char(PyObject *object, std::uint8_t *out);
int to_int(PyObject *object, int *out);

// A list of ints holding process ids; empty with the exception set on failure.
capi::Ref pid_list(const std::vector<int> &pids);

// A bytes object's contents; TypeError for None or any other type.
int to_byte_string(PyObject *object, std::string *out);

// A file name held in a bytes object. A NUL byte would cut the path short
// when it reaches the file system, so it is refused with ValueError.
int to_file_name(PyObject *object, std::string *out);

enum class TypeMatch { exact, or_subclass, exact_or_none };

// Raises TypeError "Argument 'name' has incorrect type (...)" unless `object`
// matches `type` as `match` says. 0 or -1.
int check_argument_type(PyObject *object, PyTypeObject *type, TypeMatch match, const char *name);

}  // namespace zorvik::binding
