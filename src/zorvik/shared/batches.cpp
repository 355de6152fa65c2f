// Batches of keys: SharedDict's get_many, set_many, delete_many and
// contains_many, and the module functions of the same names, which take a
// SharedDict or a zorvik.brandel.brandel as their first argument. Each runs
// the binding's batch path (binding/batch_operations.hpp): every key and
// value serialised and hashed first, as the single-key operations of the
// dictionary's class do it, then one pass over the buckets in which each key
// is its own atomic operation.
#include "zorvik/binding/batch_operations.hpp"

#include <cstring>

#include "zorvik/binding/args.hpp"
#include "zorvik/brandel/brandel.hpp"
#include "zorvik/shared/shared_dict.hpp"

namespace zorvik::shared {
namespace {

using binding::DictionaryParts;
using binding::Signature;

// ---- the target of a module function ----------------------------------------------

// True when `type` is zorvik.brandel's class or derives from it. The class is
// told by what only it can be: a static type (defined in C, not by a class
// statement) of that name, with at least a brandel's record; once seen, by
// its address. No import is needed: an object of the class can exist only
// once zorvik.brandel has been loaded.
bool is_brandel(PyTypeObject *type) {
    PyObject *mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        if (base == state.brandel_type) return true;
        if (state.brandel_type == nullptr && !(base->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
            std::strcmp(base->tp_name, brandel::type_name) == 0 &&
            base->tp_basicsize >= static_cast<Py_ssize_t>(sizeof(brandel::BrandelObject))) {
            state.brandel_type = base;  // a static type: it lives as long as the process
            return true;
        }
    }
    return false;
}

// Where the target keeps what the key operations read. 0, or -1 with
// TypeError for an object of neither class.
int target_parts(PyObject *target, DictionaryParts &parts) {
    if (PyObject_TypeCheck(target, &shared_dict_type)) {
        parts = shared_parts(target);
        return 0;
    }
    if (is_brandel(Py_TYPE(target))) {
        parts = brandel::brandel_parts(target);
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "the target must be a SharedDict or a %s, not %.200s", brandel::type_name,
                 Py_TYPE(target)->tp_name);
    return -1;
}

// ---- the operations, on a target's parts ---------------------------------------------

Ref none_if_stored(int result) { return result < 0 ? Ref() : Ref::borrow(Py_None); }

enum class Batch { get, set, remove, contains };

// arguments: the keys (or the pairs), then get's default (null: None).
Ref run(Batch batch, const DictionaryParts &parts, PyObject *const *arguments) {
    switch (batch) {
        case Batch::get:
            return binding::get_many(parts, arguments[0], arguments[1] != nullptr ? arguments[1] : Py_None);
        case Batch::set:
            return none_if_stored(binding::set_many(parts, arguments[0]));
        case Batch::remove:
            return binding::delete_many(parts, arguments[0]);
        case Batch::contains:
            return binding::contains_many(parts, arguments[0]);
    }
    return Ref();
}

// ---- signatures ---------------------------------------------------------------------

const char *const get_method_parameters[] = {"keys", "default"};
const char *const set_method_parameters[] = {"items"};
const char *const keys_method_parameters[] = {"keys"};
const char *const get_function_parameters[] = {"target", "keys", "default"};
const char *const set_function_parameters[] = {"target", "items"};
const char *const keys_function_parameters[] = {"target", "keys"};

const Signature method_signatures[] = {
    {"get_many", get_method_parameters, 2, 1},
    {"set_many", set_method_parameters, 1, 1},
    {"delete_many", keys_method_parameters, 1, 1},
    {"contains_many", keys_method_parameters, 1, 1},
};
const Signature function_signatures[] = {
    {"get_many", get_function_parameters, 3, 2},
    {"set_many", set_function_parameters, 2, 2},
    {"delete_many", keys_function_parameters, 2, 2},
    {"contains_many", keys_function_parameters, 2, 2},
};

template <Batch batch>
PyObject *method_form(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[2] = {nullptr, nullptr};
    if (binding::bind_arguments(method_signatures[static_cast<int>(batch)], args, nargs, kwnames, values) < 0) {
        return nullptr;
    }
    return run(batch, shared_parts(self), values).release();
}

template <Batch batch>
PyObject *function_form(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[3] = {nullptr, nullptr, nullptr};
    if (binding::bind_arguments(function_signatures[static_cast<int>(batch)], args, nargs, kwnames, values) < 0) {
        return nullptr;
    }
    DictionaryParts parts{};
    if (target_parts(values[0], parts) < 0) return nullptr;
    return run(batch, parts, values + 1).release();
}

// ---- docstrings -----------------------------------------------------------------------

#define ZORVIK_NOT_A_TRANSACTION                                                                                  \
    " Each key is its own atomic operation under its bucket's lock, one bucket at a time, in order; the batch "  \
    "is not a transaction: other threads and processes may see some of its keys done and others not yet, or "   \
    "change a key between two of them."

#define ZORVIK_GET_MANY_DOC                                                                                         \
    "The value stored for each key of keys (any iterable), in order, and default for a key that is absent: "      \
    "[d.get(k, default) for k in keys], done faster. Every key is serialized and hashed first, so a key that "    \
    "cannot be raises its error before the dictionary is read." ZORVIK_NOT_A_TRANSACTION " A key given twice "  \
    "gets its value twice."

#define ZORVIK_SET_MANY_DOC                                                                                        \
    "Stores every pair of items (a mapping, or an iterable of (key, value) pairs), in order: of two pairs with " \
    "one key, the later one's value stays. Every key and value is serialized and hashed first, so a malformed "  \
    "pair, or a key or value that cannot be serialized or hashed, raises its error before anything is stored."  \
    ZORVIK_NOT_A_TRANSACTION " A failure of the file itself (a full file) leaves the pairs before it stored and " \
    "the others not."

#define ZORVIK_DELETE_MANY_DOC                                                                                      \
    "Removes each key of keys (any iterable) that is present, in order, and returns a list with, for each key, " \
    "True when it was removed and False when it was absent (a key given twice is removed by its first "          \
    "occurrence; sum() of the list counts the removed keys). Every key is serialized and hashed first, so a key " \
    "that cannot be raises its error before anything is removed." ZORVIK_NOT_A_TRANSACTION

#define ZORVIK_CONTAINS_MANY_DOC                                                                                    \
    "For each key of keys (any iterable), in order, whether it is present: [k in d for k in keys], done faster. " \
    "Every key is serialized and hashed first, so a key that cannot be raises its error before the dictionary is " \
    "read." ZORVIK_NOT_A_TRANSACTION

#define ZORVIK_TARGET_DOC                                                                                          \
    "target: a SharedDict or a zorvik.brandel.brandel, whose keys are serialized and hashed as its own "          \
    "operations do it (brandel: its serializer and hash function, as brandel.get does; a brandel's Python "      \
    "overrides of get, insert or remove are not called). "

}  // namespace

PyMethodDef batch_methods[] = {
    {"get_many", ZORVIK_METHOD(method_form<Batch::get>), METH_FASTCALL | METH_KEYWORDS,
     "get_many(keys, default=None) -> list\n\n" ZORVIK_GET_MANY_DOC},
    {"set_many", ZORVIK_METHOD(method_form<Batch::set>), METH_FASTCALL | METH_KEYWORDS,
     "set_many(items) -> None\n\n" ZORVIK_SET_MANY_DOC},
    {"delete_many", ZORVIK_METHOD(method_form<Batch::remove>), METH_FASTCALL | METH_KEYWORDS,
     "delete_many(keys) -> list\n\n" ZORVIK_DELETE_MANY_DOC},
    {"contains_many", ZORVIK_METHOD(method_form<Batch::contains>), METH_FASTCALL | METH_KEYWORDS,
     "contains_many(keys) -> list\n\n" ZORVIK_CONTAINS_MANY_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef batch_functions[] = {
    {"get_many", ZORVIK_METHOD(function_form<Batch::get>), METH_FASTCALL | METH_KEYWORDS,
     "get_many(target, keys, default=None) -> list\n\n" ZORVIK_TARGET_DOC ZORVIK_GET_MANY_DOC},
    {"set_many", ZORVIK_METHOD(function_form<Batch::set>), METH_FASTCALL | METH_KEYWORDS,
     "set_many(target, items) -> None\n\n" ZORVIK_TARGET_DOC ZORVIK_SET_MANY_DOC},
    {"delete_many", ZORVIK_METHOD(function_form<Batch::remove>), METH_FASTCALL | METH_KEYWORDS,
     "delete_many(target, keys) -> list\n\n" ZORVIK_TARGET_DOC ZORVIK_DELETE_MANY_DOC},
    {"contains_many", ZORVIK_METHOD(function_form<Batch::contains>), METH_FASTCALL | METH_KEYWORDS,
     "contains_many(target, keys) -> list\n\n" ZORVIK_TARGET_DOC ZORVIK_CONTAINS_MANY_DOC},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zorvik::shared
