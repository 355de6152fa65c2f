// The serializers a SharedDict can name. Each is an object whose `dumps` and
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
PyObject *serializer_module(const char *name, PyObject *dumps, PyObject *loads) {
    PyObject *module = PyModule_New(name);
    if (module == nullptr) return nullptr;
    if (PyModule_AddObjectRef(module, "dumps", dumps) < 0 || PyModule_AddObjectRef(module, "loads", loads) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// True when pickle.dumps writes protocol 5 unasked: its output starts with
// PROTO 5. Asked of the function itself, which keeps its own default
// whatever pickle.DEFAULT_PROTOCOL is set to. -1 on failure.
int pickle_writes_protocol_5(PyObject *pickle) {
    PyObject *dumped = PyObject_CallMethod(pickle, "dumps", "O", Py_None);
    if (dumped == nullptr) return -1;
    const int five = PyBytes_Check(dumped) && PyBytes_GET_SIZE(dumped) >= 2 &&
                     std::memcmp(PyBytes_AS_STRING(dumped), "\x80\x05", 2) == 0;
    Py_DECREF(dumped);
    return five;
}

PyObject *pickle_serializer() {
    if (state.pickle_serializer != nullptr) return Py_NewRef(state.pickle_serializer);
    PyObject *pickle = PyImport_ImportModule("pickle");
    if (pickle == nullptr) return nullptr;
    const int writes_five = pickle_writes_protocol_5(pickle);
    if (writes_five == 1) {
        state.pickle_serializer = Py_NewRef(pickle);  // for the life of the process
        return pickle;
    }
    Py_DECREF(pickle);
    if (writes_five < 0) return nullptr;
    PyObject *dumps = binding::import_attribute("pickle", "dumps");
    PyObject *loads = dumps == nullptr ? nullptr : binding::import_attribute("pickle", "loads");
    PyObject *dumps_5 = loads == nullptr ? nullptr : PyCFunction_New(&pickle_dumps_5_def, nullptr);
    PyObject *five = dumps_5 == nullptr ? nullptr : PyLong_FromLong(5);
    PyObject *module =
        five == nullptr ? nullptr : serializer_module("zorvik._shared.pickle_protocol_5", dumps_5, loads);
    if (module != nullptr) {
        // Kept for the life of the process, as every dictionary may use them.
        state.pickle_dumps = Py_NewRef(dumps);
        state.pickle_protocol = Py_NewRef(five);
        state.pickle_serializer = Py_NewRef(module);
    }
    Py_XDECREF(dumps);
    Py_XDECREF(loads);
    Py_XDECREF(dumps_5);
    Py_XDECREF(five);
    return module;
}

PyObject *msgspec_serializer() {
    PyObject *encode = binding::import_attribute("msgspec.json", "encode");
    PyObject *decode = encode == nullptr ? nullptr : binding::import_attribute("msgspec.json", "decode");
    PyObject *module = decode == nullptr ? nullptr : serializer_module("zorvik._shared.msgspec_json", encode, decode);
    Py_XDECREF(encode);
    Py_XDECREF(decode);
    return module;
}

// The module of a serializer that is a package of its own; ImportError
// (ModuleNotFoundError) saying which package the name needs.
PyObject *package_serializer(const char *name) {
    PyObject *module = PyImport_ImportModule(name);
    if (module == nullptr && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ModuleNotFoundError,
                     "the serializer '%s' needs the package %s, which is not installed (pip install %s)", name,
                     name, name);
    }
    return module;
}

}  // namespace

int choose_serializer(PyObject *name, PyObject **serializer, bool *text) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "serializer must be a str naming one, not %.200s", Py_TYPE(name)->tp_name);
        return -1;
    }
    PyObject *chosen = nullptr;
    *text = false;
    if (PyUnicode_CompareWithASCIIString(name, "pickle") == 0) {
        chosen = pickle_serializer();
    } else if (PyUnicode_CompareWithASCIIString(name, "json") == 0) {
        // json.dumps returns text, stored as UTF-8 bytes, which json.loads reads back.
        chosen = PyImport_ImportModule("json");
        *text = true;
    } else if (PyUnicode_CompareWithASCIIString(name, "orjson") == 0) {
        chosen = package_serializer("orjson");
    } else if (PyUnicode_CompareWithASCIIString(name, "msgpack") == 0) {
        chosen = package_serializer("msgpack");
    } else if (PyUnicode_CompareWithASCIIString(name, "msgspec") == 0) {
        PyObject *package = package_serializer("msgspec");
        Py_XDECREF(package);
        chosen = package == nullptr ? nullptr : msgspec_serializer();
    } else {
        PyErr_Format(PyExc_ValueError,
                     "unknown serializer %R: choose 'pickle', 'json', 'orjson', 'msgpack' or 'msgspec'", name);
        return -1;
    }
    if (chosen == nullptr) return -1;
    *serializer = chosen;
    return 0;
}

}  // namespace zorvik::shared
