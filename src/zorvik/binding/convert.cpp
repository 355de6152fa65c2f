#include "zorvik/binding/convert.hpp"

#include "zorvik/capi/ref.hpp"

namespace zorvik::binding {
namespace {

using capi::Ref;


// `object` as an int: itself, or what its __int__ returns.
Ref as_int(PyObject *object) {
    if (PyLong_Check(object)) return Ref::borrow(object);
    PyNumberMethods *number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    Ref result = Ref::steal(number->nb_int(object));
    if (result && !PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
        return Ref();
    }
    return result;
}

// Converts an int to an unsigned value no larger than `limit`; `type_name`
// names the native type in the messages.
int to_unsigned(PyObject *object, unsigned long long limit, const char *type_name, unsigned long long *out) {
    const Ref integer = as_int(object);
    if (!integer) return -1;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", type_name);
        return -1;
    }
    unsigned long long magnitude =
        overflow == 0 ? static_cast<unsigned long long>(value) : PyLong_AsUnsignedLongLong(integer.get());
    // OverflowError from the interpreter: above 2**64 - 1
    if (magnitude == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    if (magnitude > limit) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", type_name);
        return -1;
    }
    *out = magnitude;
    return 0;
}

}  // namespace

int to_size_t(PyObject *object, std::uint64_t *out) {
    unsigned long long value = 0;
    if (to_unsigned(object, UINT64_MAX, "size_t", &value) < 0) return -1;
    *out = value;
    return 0;
}

int to_unsigned_char(PyObject *object, std::uint8_t *out) {
    unsigned long long value = 0;
    if (to_unsigned(object, UINT8_MAX, "unsigned char", &value) < 0) return -1;
    *out = static_cast<std::uint8_t>(value);
    return 0;
}

int to_int(PyObject *object, int *out) {
    const Ref integer = as_int(object);
    if (!integer) return -1;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    *out = static_cast<int>(value);
    return 0;
}

int to_byte_string(PyObject *object, std::string *out) {
    if (!PyBytes_Check(object)) {
        PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(object)->tp_name);
        return -1;
    }
    try {
        out->assign(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
    } catch (...) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

int to_file_name(PyObject *object, std::string *out) {
    if (to_byte_string(object, out) < 0) return -1;
    if (out->find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return -1;
    }
    return 0;
}

int check_argument_type(PyObject *object, PyTypeObject *type, TypeMatch match, const char *name) {
    if (Py_IS_TYPE(object, type)) return 0;
    if (match == TypeMatch::exact_or_none && object == Py_None) return 0;
    if (match == TypeMatch::or_subclass && PyObject_TypeCheck(object, type)) return 0;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 type->tp_name, Py_TYPE(object)->tp_name);
    return -1;
}

capi::Ref pid_list(const std::vector<int> &pids) {
    capi::Ref list = capi::Ref::steal(PyList_New(static_cast<Py_ssize_t>(pids.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < pids.size(); ++i) {
        PyObject *pid = PyLong_FromLong(pids[i]);
        if (pid == nullptr) return {};  // that failure is the exception now
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pid);  // steals pid
    }
    return list;
}

}  // namespace zorvik::binding
