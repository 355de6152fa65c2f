#include "zorvik/binding/serializers.hpp"

#include <iterator>
#include <new>
#include <string>

namespace zorvik::binding {

using capi::Ref;

const Serializer *find_serializer(PyObject *name) {
    for (const Serializer &entry : serializers) {
        if (PyUnicode_CompareWithASCIIString(name, entry.name) == 0) return &entry;
    }
    return nullptr;
}

Ref serializer_choices() {
    try {
        std::string text;
        const std::size_t count = std::size(serializers);
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) text += i + 1 == count ? " or " : ", ";
            text += std::string("'") + serializers[i].name + "'";
        }
        return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return Ref();
    }
}

Ref serializer_mapping() {
    const Ref table = Ref::steal(PyDict_New());
    if (!table) return Ref();
    for (const Serializer &entry : serializers) {
        const Ref form = Ref::steal(PyUnicode_FromString(entry.stored_form));
        if (!form || PyDict_SetItemString(table.get(), entry.name, form.get()) < 0) return Ref();
    }
    return Ref::steal(PyDictProxy_New(table.get()));
}

}  // namespace zorvik::binding
