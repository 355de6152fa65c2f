// The class `brandel`: object creation, construction, finalisation and
// destruction, garbage-collection support and the refusal to be pickled.
#include "zorvik/brandel/brandel_type.hpp"

#include <cstddef>
#include <new>
#include <string>
#include <utility>

#include "zorvik/binding/args.hpp"
#include "zorvik/binding/convert.hpp"
#include "zorvik/binding/errors.hpp"
#include "zorvik/binding/serializers.hpp"
#include "zorvik/brandel/expansion.hpp"
#include "zorvik/brandel/module.hpp"
#include "zorvik/brandel/brandel_operations.hpp"
#include "zorvik/capi/ref.hpp"

namespace zorvik::brandel {

using capi::Ref;
using capi::store_field;
using binding::MapPointer;
using binding::Signature;
using binding::TypeMatch;
using binding::add_traceback;
using binding::bind_arguments;
using binding::call_core;
using binding::check_argument_type;
using binding::restore_exception;
using binding::take_exception;
using binding::to_file_name;
using binding::to_size_t;
using binding::to_unsigned_char;

namespace {

constexpr const char type_file[] = "zorvik/brandel/brandel_type.cpp";

BrandelObject *as_brandel(PyObject *object) { return reinterpret_cast<BrandelObject *>(object); }

// Drops this object's hold on its map. The map object is destroyed here (its
// destructor closes this process's view; the file stays) unless an operation
// in progress still holds it, which then destroys it when it ends.
void release_map(BrandelObject *self) {
    MapPointer map = std::move(self->chm);
    map.reset();
}

// ---- construction ----------------------------------------------------------

const char *const init_parameters[] = {"name",
                                       "size",
                                       "bucket_chunk_size_exponent",
                                       "bucket_chunk_number",
                                       "chunk_size_exponent",
                                       "serializer",
                                       "hash_function"};
const Signature init_signature{"__init__", init_parameters, 7, 0};

struct ConstructorArguments {
    PyObject *name = Py_None;
    std::uint64_t size = kDefaultArguments.size;
    std::uint8_t bucket_chunk_size_exponent = kDefaultArguments.bucket_chunk_size_exponent;
    std::uint64_t bucket_chunk_number = kDefaultArguments.bucket_chunk_number;
    std::uint8_t chunk_size_exponent = kDefaultArguments.string_chunk_size_exponent;
    PyObject *serializer = nullptr;  // "pickle" when not given
    PyObject *hash_function = nullptr;
};

int convert_arguments(PyObject *const *values, ConstructorArguments &arguments) {
    if ((values[1] != nullptr && to_size_t(values[1], &arguments.size) < 0) ||
        (values[2] != nullptr && to_unsigned_char(values[2], &arguments.bucket_chunk_size_exponent) < 0) ||
        (values[3] != nullptr && to_size_t(values[3], &arguments.bucket_chunk_number) < 0) ||
        (values[4] != nullptr && to_unsigned_char(values[4], &arguments.chunk_size_exponent) < 0)) {
        return -1;
    }
    if (values[0] != nullptr) arguments.name = values[0];
    if (check_argument_type(arguments.name, &PyBytes_Type, TypeMatch::exact_or_none, "name") < 0) return -1;
    arguments.serializer = values[5];
    if (arguments.serializer != nullptr &&
        check_argument_type(arguments.serializer, &PyUnicode_Type, TypeMatch::exact_or_none, "serializer") < 0) {
        return -1;
    }
    arguments.hash_function = values[6] != nullptr ? values[6] : module_state.builtin_hash;
    return 0;
}

// super(brandel, self).__init__(hash_function); the result is discarded.
int init_base(BrandelObject *self, PyObject *hash_function) {
    const Ref proxy =
        Ref::steal(PyObject_CallFunctionObjArgs(module_state.builtin_super, &brandel_type, self, nullptr));
    if (!proxy) return -1;
    const Ref result = Ref::steal(PyObject_CallMethodOneArg(proxy.get(), names.init, hash_function));
    return result ? 0 : -1;
}

// msgspec's json codec under the names every serializer has.
int prepare_msgspec(PyObject *msgspec) {
    const Ref codec = Ref::steal(PyObject_GetAttr(msgspec, names.json));
    if (!codec) return -1;
    const Ref encode = Ref::steal(PyObject_GetAttr(codec.get(), names.encode));
    if (!encode || PyObject_SetAttr(msgspec, names.dumps, encode.get()) < 0) return -1;
    const Ref decode = Ref::steal(PyObject_GetAttr(codec.get(), names.decode));
    if (!decode) return -1;
    return PyObject_SetAttr(msgspec, names.loads, decode.get());
}

// The serializer named `serializer` (null: the default), as the module bound
// it at start-up: a name whose package is not installed is a NameError.
int choose_serializer(BrandelObject *self, PyObject *serializer) {
    const binding::Serializer *entry = serializer == nullptr ? &binding::default_serializer
                                       : serializer == Py_None ? nullptr
                                                               : binding::find_serializer(serializer);
    if (entry == nullptr) {
        PyErr_SetString(PyExc_ValueError, "Invalid serializer!");
        return -1;
    }
    const Ref name = Ref::steal(PyUnicode_InternFromString(entry->name));
    if (!name) return -1;
    Ref module = module_global(name.get());
    if (!module) return -1;
    if (entry->kind == binding::SerializerKind::msgspec && prepare_msgspec(module.get()) < 0) return -1;
    store_field(self->serializer, std::move(module));
    self->text_serializer = entry->text;
    return 0;
}

int construct_map(BrandelObject *self, const ConstructorArguments &arguments) {
    std::string name;
    if (arguments.name != Py_None && to_file_name(arguments.name, &name) < 0) return -1;
    MapPointer map;
    if (!call_core([&] {
            map = std::make_shared<ConcurrentHashMap_string>(name, arguments.bucket_chunk_size_exponent,
                                                             arguments.bucket_chunk_number, arguments.size,
                                                             arguments.chunk_size_exponent);
        })) {
        return -1;
    }
    self->chm = std::move(map);
    // A dictionary it created is reached through the path the map wrote back.
    Ref stored = arguments.name != Py_None && PyBytes_GET_SIZE(arguments.name) != 0
                     ? Ref::borrow(arguments.name)
                     : Ref::steal(PyBytes_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!stored) return -1;
    store_field(self->base.name, std::move(stored));
    return 0;
}

// A construction that fails leaves the object without a map: a repeated
// __init__ first drops the map the object had.
int construct(BrandelObject *self, PyObject *const *values) {
    release_map(self);
    ConstructorArguments arguments;
    if (convert_arguments(values, arguments) < 0 || init_base(self, arguments.hash_function) < 0 ||
        choose_serializer(self, arguments.serializer) < 0 || construct_map(self, arguments) < 0) {
        return -1;
    }
    return 0;
}

// Construction on arguments bound with status `bound`. A failure leaves the
// object without a map and names __init__ in the traceback.
int initialise(BrandelObject *self, int bound, PyObject *const *values) {
    if (bound == 0 && construct(self, values) == 0) return 0;
    release_map(self);
    add_traceback("zorvik.brandel.brandel.__init__", type_file, __LINE__);
    return -1;
}

int brandel_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    PyObject *values[7];
    int bound = bind_arguments(init_signature, args, kwargs, values);
    return initialise(as_brandel(self), bound, values);
}

// brandel.__init__ as a method, for subclasses that call it themselves.
PyObject *init_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[7];
    int bound = bind_arguments(init_signature, args, nargs, kwnames, values);
    if (initialise(as_brandel(self), bound, values) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---- lifetime --------------------------------------------------------------

PyObject *brandel_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    Ref object = Ref::steal(module_state.fennick_type->tp_new(type, args, kwargs));
    if (!object) return nullptr;
    BrandelObject *self = as_brandel(object.get());
    self->vtab = &brandel_vtable;
    new (&self->chm) MapPointer();
    self->serializer = Py_NewRef(Py_None);
    self->text_serializer = false;
    self->dict = PyDict_New();
    if (self->dict == nullptr) return nullptr;
    return object.release();
}

void brandel_finalize(PyObject *object) {
    BrandelObject *self = as_brandel(object);
    if (!self->chm) return;
    Ref exception = take_exception();
    release_map(self);
    restore_exception(std::move(exception));
}

void brandel_dealloc(PyObject *object) {
    if (PyObject_CallFinalizerFromDealloc(object) < 0) return;  // resurrected
    PyObject_GC_UnTrack(object);
    BrandelObject *self = as_brandel(object);
    // A subclass's __del__ may have replaced ours without calling it.
    release_map(self);
    self->chm.~MapPointer();
    if (self->dict != nullptr) PyDict_Clear(self->dict);
    Py_CLEAR(self->serializer);
    Py_CLEAR(self->dict);
    module_state.fennick_type->tp_dealloc(object);
}

int brandel_traverse(PyObject *object, visitproc visit, void *arg) {
    int result = module_state.fennick_type->tp_traverse(object, visit, arg);
    if (result != 0) return result;
    BrandelObject *self = as_brandel(object);
    Py_VISIT(self->serializer);
    Py_VISIT(self->dict);
    return 0;
}

// The instance dictionary is cleared to null, not None: attribute lookup
// treats a null dictionary as empty, while None in its place would be read
// as a dictionary.
int brandel_clear(PyObject *object) {
    module_state.fennick_type->tp_clear(object);
    BrandelObject *self = as_brandel(object);
    store_field(self->serializer, Ref::borrow(Py_None));
    Py_CLEAR(self->dict);
    return 0;
}

// ---- pickling refused ------------------------------------------------------

constexpr const char not_picklable[] = "self.chm,self.size cannot be converted to a Python object for pickling";

PyObject *reduce_method(PyObject *, PyObject *) {
    PyErr_SetString(PyExc_TypeError, not_picklable);
    add_traceback("zorvik.brandel.brandel.__reduce__", type_file, __LINE__);
    return nullptr;
}

const char *const setstate_parameters[] = {"state"};
const Signature setstate_signature{"__setstate__", setstate_parameters, 1, 1};

PyObject *setstate_method(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[1];
    if (bind_arguments(setstate_signature, args, nargs, kwnames, values) == 0) {
        PyErr_SetString(PyExc_TypeError, not_picklable);
    }
    add_traceback("zorvik.brandel.brandel.__setstate__", type_file, __LINE__);
    return nullptr;
}

// ---- the type --------------------------------------------------------------

// Replaces the slot wrapper that the interpreter puts under __init__, so that
// the method carries its own docstring; tp_init stays the entry for class calls.
PyMethodDef init_method_def = {
    "__init__", ZORVIK_METHOD(init_method), METH_FASTCALL | METH_KEYWORDS,
    "__init__(self, name: bytes = None, size: int = 650000000, bucket_chunk_size_exponent: int = 20, "
    "bucket_chunk_number: int = 100, chunk_size_exponent: int = 5, serializer: str = 'pickle', hash_function: "
    "Callable = hash)\n\nconstructor of brandel\n\n        :param name: file name of the brandel\n        "
    ":param size: file size of the brandel\n        :param bucket_chunk_size_exponent: the exponent of the hash "
    "bucket chunk size in the base of 2, for example, 20 means the the hash bucket chunk size is 2**20=1048576.\n"
    "        :param bucket_chunk_number: the number of the hash bucket chunks, for example, 100 means there are "
    "100 hash bucket chunks; the size of each of them is determined by the previous parameter "
    "bucket_chunk_size_exponent.\n        :param chunk_size_exponent: the exponent of the data chunk size when "
    "allocating from shared memory in the base of 2, for example, 5 means the the data chunk size is 2**5=32 "
    "bytes when allocating from shared memory.\n        :param serializer: the serializer/deserializer used by "
    "the brandel before the data is inserted into the shared memory, the data is serializer/deserializer by the "
    "same deserializer after it is got from the memory, possible values are 'msgspec', 'pickle', 'orjson', "
    "'msgpack', and 'json'\n        :param hash_function: the hash function used by the brandel when the key is "
    "hashed into the hash bucket, can be any callable user defined, if not it is default value hash\n        "};

PyMethodDef brandel_methods[] = {
    insert_method_def,
    get_method_def,
    remove_method_def,
    expansion_method_def,
    {"__reduce__", reduce_method, METH_NOARGS, nullptr},
    {"__setstate__", ZORVIK_METHOD(setstate_method), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef brandel_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

BrandelVtable brandel_vtable = {brandel_insert, brandel_get, brandel_remove, brandel_expansion};

// The slots not named here stay zero: the interpreter fills them in.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject brandel_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = type_name,
    .tp_basicsize = sizeof(BrandelObject),
    .tp_dealloc = brandel_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "\nclass provide brandel\n    ",
    .tp_traverse = brandel_traverse,
    .tp_clear = brandel_clear,
    .tp_methods = brandel_methods,
    .tp_getset = brandel_getset,
    .tp_base = nullptr,  // fennick, imported at start-up
    .tp_dictoffset = offsetof(BrandelObject, dict),
    .tp_init = brandel_init,
    .tp_new = brandel_new,
    .tp_finalize = brandel_finalize,
};
#pragma GCC diagnostic pop

MapPointer map_of(BrandelObject *self) { return binding::map_of(brandel_parts(reinterpret_cast<PyObject *>(self))); }

int ready_brandel_type() {
    brandel_type.tp_base = module_state.fennick_type;
    if (PyType_Ready(&brandel_type) < 0) return -1;

    const Ref init = Ref::steal(PyDescr_NewMethod(&brandel_type, &init_method_def));
    if (!init || PyDict_SetItemString(brandel_type.tp_dict, "__init__", init.get()) < 0) return -1;

    const Ref vtable = Ref::steal(PyCapsule_New(&brandel_vtable, nullptr, nullptr));
    if (!vtable || PyDict_SetItemString(brandel_type.tp_dict, "__pyx_vtable__", vtable.get()) < 0) return -1;
    PyType_Modified(&brandel_type);
    return 0;
}

}  // namespace zorvik::brandel
