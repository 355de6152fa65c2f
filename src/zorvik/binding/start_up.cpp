#include "zorvik/binding/start_up.hpp"

#include "zorvik/capi/ref.hpp"

namespace zorvik::binding {

Ref import_attribute(const char *module_name, const char *attribute) {
    const Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return Ref();
    return Ref::steal(PyObject_GetAttrString(module.get(), attribute));
}

int register_at_exit(PyMethodDef *handler) {
    const Ref function = Ref::steal(PyCFunction_New(handler, nullptr));
    if (!function) return -1;
    const Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return -1;
    const Ref result = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get()));
    return result ? 0 : -1;
}

}  // namespace zorvik::binding
