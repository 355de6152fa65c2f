// The serializer objects of a SharedDict, for the names of the binding's
// table (binding/serializers.hpp). Each is an object whose `dumps` and
// `loads` the key operations' path calls: the module itself for json,
// orjson and msgpack (a plain module's attributes are read from its
// dictionary, the path's fast case), and a small module of ours for pickle
// and msgspec, which need an argument or another name.
//
// pickle: keys are compared by their bytes, and pickle.dumps writes protocol
// 4 up to CPython 3.13 and 5 from 3.14 by default, so a dictionary shared by
// processes of those versions would hold two spellings of every key. Every
// SharedDict pickles with protocol 5 (readable from CPython 3.8 on): through
// pickle itself where that is its default (one call less per operation),
// else through a function that passes the protocol.
#include <cstring>
#include <utility>

#include "zorvik/binding/key_form.hpp"
#include "zorvik/binding/operations.hpp"
#include "zorvik/binding/serializers.hpp"
#include "zorvik/binding/start_up.hpp"
#include "zorvik/shared/shared_dict.hpp"

namespace zorvik::shared {
namespace {

// pickle.dumps(object, 5): the protocol positionally, as _pickle takes it.
PyObject *pickle_dumps_5(PyObject *, PyObject *object) {
    PyObject *arguments[] = {object, state.pickle_protocol};
    return PyObject_Vectorcall(state.pickle_dumps, arguments, 2, nullptr);
}

PyMethodDef pickle_dumps_5_def = {"dumps", pickle_dumps_5, METH_O,
                                  "dumps(object, /) -> bytes\n\npickle.dumps(object, protocol=5)."};

// A module named `name` whose dumps and loads are the given callables.
Ref serializer_module(const char *name, PyObject *dumps, PyObject *loads) {
    Ref module = Ref::steal(PyModule_New(name));
    if (!module || PyModule_AddObjectRef(module.get(), "dumps", dumps) < 0 ||
        PyModule_AddObjectRef(module.get(), "loads", loads) < 0) {
        return Ref();
    }
    return module;
}

// True when pickle.dumps writes protocol 5 unasked: its output starts with
// PROTO 5. Asked of the function itself, which keeps its own default
// whatever pickle.DEFAULT_PROTOCOL is set to. -1 on failure.
int pickle_writes_protocol_5(PyObject *pickle) {
    const Ref dumped = Ref::steal(PyObject_CallMethod(pickle, "dumps", "O", Py_None));
    if (!dumped) return -1;
    return PyBytes_Check(dumped.get()) && PyBytes_GET_SIZE(dumped.get()) >= 2 &&
           std::memcmp(PyBytes_AS_STRING(dumped.get()), "\x80\x05", 2) == 0;
}

// Kept in the module's state for the life of the process, as every
// dictionary may use them.
Ref pickle_serializer() {
    if (state.pickle_serializer != nullptr) return Ref::borrow(state.pickle_serializer);
    Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
    if (!pickle) return pickle;
    const int writes_five = pickle_writes_protocol_5(pickle.get());
    if (writes_five < 0) return Ref();
    if (writes_five == 1) {
        state.pickle_serializer = pickle.new_reference();
        return pickle;
    }
    Ref dumps = binding::import_attribute("pickle", "dumps");
    if (!dumps) return Ref();
    const Ref loads = binding::import_attribute("pickle", "loads");
    if (!loads) return Ref();
    const Ref dumps_5 = Ref::steal(PyCFunction_New(&pickle_dumps_5_def, nullptr));
    if (!dumps_5) return Ref();
    Ref five = Ref::steal(PyLong_FromLong(5));
    if (!five) return Ref();
    Ref module = serializer_module("zorvik._shared.pickle_protocol_5", dumps_5.get(), loads.get());
    if (!module) return Ref();
    state.pickle_dumps = dumps.release();
    state.pickle_protocol = five.release();
    state.pickle_serializer = module.new_reference();
    return module;
}

Ref msgspec_serializer() {
    const Ref encode = binding::import_attribute("msgspec.json", "encode");
    if (!encode) return Ref();
    const Ref decode = binding::import_attribute("msgspec.json", "decode");
    if (!decode) return Ref();
    return serializer_module("zorvik._shared.msgspec_json", encode.get(), decode.get());
}

// The module of a serializer that is a package of its own; ImportError
// (ModuleNotFoundError) saying which package the name needs.
Ref package_serializer(const char *name) {
    Ref module = Ref::steal(PyImport_ImportModule(name));
    if (!module && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ModuleNotFoundError,
                     "the serializer '%s' needs the package %s, which is not installed (pip install %s)", name,
                     name, name);
    }
    return module;
}

}  // namespace

int choose_serializer(PyObject *name, Ref &serializer, bool *text, bool *key_form) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "serializer must be a str naming one, not %.200s", Py_TYPE(name)->tp_name);
        return -1;
    }
    const binding::Serializer *entry = binding::find_serializer(name);
    if (entry == nullptr) {
        const Ref choices = binding::serializer_choices();
        if (choices) PyErr_Format(PyExc_ValueError, "unknown serializer %R: choose %U", name, choices.get());
        return -1;
    }
    Ref chosen;
    switch (entry->kind) {
        case binding::SerializerKind::pickle:
            chosen = pickle_serializer();
            break;
        case binding::SerializerKind::json:
            chosen = Ref::steal(PyImport_ImportModule(entry->name));
            break;
        case binding::SerializerKind::orjson:
        case binding::SerializerKind::msgpack:
            chosen = package_serializer(entry->name);
            break;
        case binding::SerializerKind::msgspec:
            if (package_serializer(entry->name)) chosen = msgspec_serializer();
            break;
    }
    if (!chosen) return -1;
    serializer = std::move(chosen);
    *text = entry->text;
    *key_form = entry->kind == binding::SerializerKind::pickle;
    return 0;
}

Ref pickle_key_bytes(PyObject *key) {
    const Ref pickle = pickle_serializer();
    if (!pickle) return Ref();
    const auto dumps = [&pickle](PyObject *object) {
        return Ref::steal(PyObject_CallMethodOneArg(pickle.get(), binding::operation_context.dumps, object));
    };
    Ref form;
    Ref as_pickled;
    if (binding::may_need_key_form(key)) {
        if (binding::pickle_key_form(key, dumps, form, as_pickled) < 0) return Ref();
    } else {
        form = dumps(key);
    }
    return form;
}

}  // namespace zorvik::shared
