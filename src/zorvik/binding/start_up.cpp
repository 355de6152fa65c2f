#include "zorvik/binding/start_up.hpp"

namespace zorvik::binding {

PyObject *import_attribute(const char *module_name, const char *attribute) {
    PyObject *module = PyImport_ImportModule(module_name);
    if (module == nullptr) return nullptr;
    PyObject *found = PyObject_GetAttrString(module, attribute);
    Py_DECREF(module);
    return found;
}

int register_at_exit(PyMethodDef *handler) {
    PyObject *function = PyCFunction_New(handler, nullptr);
    if (function == nullptr) return -1;
    PyObject *atexit = PyImport_ImportModule("atexit");
    PyObject *result = atexit == nullptr ? nullptr : PyObject_CallMethod(atexit, "register", "O", function);
    Py_XDECREF(atexit);
    Py_DECREF(function);
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

}  // namespace zorvik::binding
