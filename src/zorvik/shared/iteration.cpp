// Iterating a SharedDict: an iterator walks the table a few buckets at a
// time (the core's scan, each bucket under its own lock), keeps the raw
// bytes of one step, and loads each key or value as it hands it out. No lock
// is held between two steps, so an iterator never holds other processes up,
// and the core's cursor makes every key present from the iterator's start to
// its end come exactly once, however often the table doubles meanwhile;
// keys stored or removed meanwhile may or may not come.
//
// keys(), values() and items() are views: subclasses of collections.abc's
// KeysView, ValuesView and ItemsView (set operations and all), made when the
// module starts, whose __iter__ is such an iterator. items() yields each key
// with the value read with it, in the same hold of its bucket's lock.
#include <exception>

#include "zorvik/binding/errors.hpp"
#include "zorvik/shared/shared_dict.hpp"

namespace zorvik::shared {
namespace {

using binding::call_core;

enum class Kind : int { keys, values, items };

// Buckets one step visits: at two entries a bucket, a step brings about 64
// entries, and a step over an empty table of 1,024 buckets takes 32 locks.
constexpr std::uint64_t kBucketsPerStep = 32;

// Puts each entry a scan hands over into `list`, as a bytes object (keys,
// values) or a pair of them (items). Called with a bucket's lock held: it
// makes Python objects, which runs no Python code.
class BatchSink final : public EntrySink {
public:
    BatchSink(Kind kind, PyObject *list)
        : EntrySink(kind != Kind::values, kind != Kind::keys), kind_(kind), list_(list) {}
    BatchSink(const BatchSink &) = delete;
    BatchSink &operator=(const BatchSink &) = delete;
    ~BatchSink() {
        // See binding::Request: a thread ended at shutdown must not touch objects.
        if (std::uncaught_exceptions() == 0) abandon();
    }

    char *reserve(Part part, std::uint64_t length) override {
        if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return nullptr;
        PyObject *&slot = part == Part::key ? key_ : value_;
        Py_XSETREF(slot, PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
        return slot == nullptr ? nullptr : PyBytes_AS_STRING(slot);
    }
    void commit() override {
        PyObject *item = kind_ == Kind::items ? PyTuple_Pack(2, key_, value_)
                                              : Py_NewRef(kind_ == Kind::keys ? key_ : value_);
        const bool appended = item != nullptr && PyList_Append(list_, item) == 0;
        Py_XDECREF(item);
        abandon();
        if (!appended) throw std::bad_alloc();  // the MemoryError is set and stays
    }
    void abandon() noexcept override {
        Py_CLEAR(key_);
        Py_CLEAR(value_);
    }

private:
    Kind kind_;
    PyObject *list_;
    PyObject *key_ = nullptr;
    PyObject *value_ = nullptr;
};

struct IteratorObject {
    PyObject_HEAD
    PyObject *dict;   // the SharedDict
    PyObject *batch;  // the raw items of the last step (a list), or null
    Py_ssize_t position;
    std::uint64_t cursor;
    Kind kind;
    bool done;
};

IteratorObject *as_iterator(PyObject *object) { return reinterpret_cast<IteratorObject *>(object); }

PyObject *make_iterator(PyObject *dict, Kind kind) {
    if (!map_of(as_shared(dict))) return nullptr;
    IteratorObject *it = PyObject_GC_New(IteratorObject, &iterator_type);
    if (it == nullptr) return nullptr;
    it->dict = Py_NewRef(dict);
    it->batch = nullptr;
    it->position = 0;
    it->cursor = 0;
    it->kind = kind;
    it->done = false;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject *>(it);
}

// One step of the walk into a new batch. 0 or -1.
int next_batch(IteratorObject *it) {
    MapPointer map = map_of(as_shared(it->dict));
    if (!map) return -1;
    PyObject *batch = PyList_New(0);
    if (batch == nullptr) return -1;
    BatchSink sink(it->kind, batch);
    std::uint64_t cursor = it->cursor;
    if (!call_core([&] { cursor = map->scan(cursor, sink, kBucketsPerStep); })) {
        Py_DECREF(batch);
        return -1;
    }
    it->cursor = cursor;
    it->done = cursor == 0;
    Py_XSETREF(it->batch, batch);
    it->position = 0;
    return 0;
}

// The loaded object of raw bytes, by the dictionary's serializer.
PyObject *load(PyObject *dict, PyObject *raw) {
    PyObject *serializer = Py_NewRef(as_shared(dict)->serializer);
    PyObject *loaded = binding::deserialize(serializer, raw);
    Py_DECREF(serializer);
    return loaded;
}

PyObject *load_item(PyObject *dict, PyObject *raw_pair) {
    PyObject *key = load(dict, PyTuple_GET_ITEM(raw_pair, 0));
    PyObject *value = key == nullptr ? nullptr : load(dict, PyTuple_GET_ITEM(raw_pair, 1));
    PyObject *pair = value == nullptr ? nullptr : PyTuple_Pack(2, key, value);
    Py_XDECREF(key);
    Py_XDECREF(value);
    return pair;
}

PyObject *iterator_next(PyObject *object) {
    IteratorObject *it = as_iterator(object);
    while (it->batch == nullptr || it->position >= PyList_GET_SIZE(it->batch)) {
        if (it->done) return nullptr;  // StopIteration
        if (next_batch(it) < 0) return nullptr;
    }
    PyObject *raw = Py_NewRef(PyList_GET_ITEM(it->batch, it->position++));
    PyObject *result = it->kind == Kind::items ? load_item(it->dict, raw) : load(it->dict, raw);
    Py_DECREF(raw);
    return result;
}

int iterator_traverse(PyObject *object, visitproc visit, void *arg) {
    IteratorObject *it = as_iterator(object);
    Py_VISIT(it->dict);
    Py_VISIT(it->batch);
    return 0;
}

void iterator_dealloc(PyObject *object) {
    IteratorObject *it = as_iterator(object);
    PyObject_GC_UnTrack(object);
    Py_CLEAR(it->dict);
    Py_CLEAR(it->batch);
    PyObject_GC_Del(object);
}

// ---- views --------------------------------------------------------------------------

// A view's __iter__: the iterator of its mapping (view._mapping).
PyObject *view_iterator(PyObject *view, Kind kind) {
    PyObject *mapping = PyObject_GetAttr(view, state.view_mapping);
    if (mapping == nullptr) return nullptr;
    PyObject *iterator = nullptr;
    if (PyObject_TypeCheck(mapping, &shared_dict_type)) {
        iterator = make_iterator(mapping, kind);
    } else {
        PyErr_Format(PyExc_TypeError, "a SharedDict view of a %.200s", Py_TYPE(mapping)->tp_name);
    }
    Py_DECREF(mapping);
    return iterator;
}

PyObject *keys_view_iter(PyObject *, PyObject *view) { return view_iterator(view, Kind::keys); }
PyObject *values_view_iter(PyObject *, PyObject *view) { return view_iterator(view, Kind::values); }
PyObject *items_view_iter(PyObject *, PyObject *view) { return view_iterator(view, Kind::items); }

PyMethodDef keys_view_iter_def = {"__iter__", keys_view_iter, METH_O, "The keys, walked as iter(d) walks them."};
PyMethodDef values_view_iter_def = {"__iter__", values_view_iter, METH_O,
                                    "The values, each read with its key under its bucket's lock."};
PyMethodDef items_view_iter_def = {"__iter__", items_view_iter, METH_O,
                                   "(key, value) pairs, each read under its bucket's lock: no second lookup."};

// class <name>(collections.abc.<base>): __slots__ = (); __iter__ = ...
PyObject *make_view_class(PyObject *abc, const char *name, const char *base, PyMethodDef *iter_def,
                          const char *doc) {
    PyObject *base_class = PyObject_GetAttrString(abc, base);
    if (base_class == nullptr) return nullptr;
    PyObject *function = PyCFunction_New(iter_def, nullptr);
    PyObject *method = function == nullptr ? nullptr : PyInstanceMethod_New(function);
    Py_XDECREF(function);
    PyObject *cls = nullptr;
    if (method != nullptr) {
        cls = PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "s(O){s:(),s:s,s:s,s:O}", name,
                                    base_class, "__slots__", "__module__", "zorvik._shared", "__doc__", doc,
                                    "__iter__", method);
    }
    Py_XDECREF(method);
    Py_DECREF(base_class);
    return cls;
}

PyObject *view_of(PyObject *self, PyObject *view_class) {
    if (!map_of(as_shared(self))) return nullptr;
    return PyObject_CallOneArg(view_class, self);
}

PyObject *keys_method(PyObject *self, PyObject *) { return view_of(self, state.keys_view); }
PyObject *values_method(PyObject *self, PyObject *) { return view_of(self, state.values_view); }
PyObject *items_method(PyObject *self, PyObject *) { return view_of(self, state.items_view); }

PyObject *popitem_method(PyObject *object, PyObject *) {
    SharedDictObject *self = as_shared(object);
    MapPointer map = map_of(self);
    if (!map) return nullptr;
    PyObject *taken = PyList_New(0);
    if (taken == nullptr) return nullptr;
    BatchSink sink(Kind::items, taken);
    // A local copy: another thread of this process may run popitem while this
    // one waits for a lock. The cursor is only where to look first.
    std::uint64_t cursor = self->popitem_cursor;
    bool found = false;
    PyObject *pair = nullptr;
    if (call_core([&] { found = map->take_any(cursor, sink); })) {
        self->popitem_cursor = cursor;
        if (found) {
            pair = load_item(object, PyList_GET_ITEM(taken, 0));
        } else {
            PyErr_SetString(PyExc_KeyError, "popitem(): dictionary is empty");
        }
    }
    Py_DECREF(taken);
    return pair;
}

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject iterator_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "zorvik._shared.SharedDictIterator",
    .tp_basicsize = sizeof(IteratorObject),
    .tp_dealloc = iterator_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "An iterator over a SharedDict: a few buckets at a time, no lock held between two steps.",
    .tp_traverse = iterator_traverse,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = iterator_next,
};
#pragma GCC diagnostic pop

PyObject *shared_dict_iter(PyObject *self) { return make_iterator(self, Kind::keys); }

PyObject *copy_to_dict(PyObject *self) {
    PyObject *iterator = make_iterator(self, Kind::items);
    if (iterator == nullptr) return nullptr;
    PyObject *copy = PyDict_New();
    while (copy != nullptr) {
        PyObject *pair = PyIter_Next(iterator);
        if (pair == nullptr) break;
        if (PyDict_SetItem(copy, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) Py_CLEAR(copy);
        Py_DECREF(pair);
    }
    Py_DECREF(iterator);
    if (PyErr_Occurred()) Py_CLEAR(copy);
    return copy;
}

int make_view_classes() {
    PyObject *abc = PyImport_ImportModule("collections.abc");
    if (abc == nullptr) return -1;
    state.keys_view = make_view_class(abc, "SharedKeysView", "KeysView", &keys_view_iter_def,
                                      "The keys of a SharedDict: a set-like view (collections.abc.KeysView).");
    state.values_view = make_view_class(abc, "SharedValuesView", "ValuesView", &values_view_iter_def,
                                        "The values of a SharedDict (collections.abc.ValuesView).");
    state.items_view = make_view_class(abc, "SharedItemsView", "ItemsView", &items_view_iter_def,
                                       "The (key, value) pairs of a SharedDict: a set-like view "
                                       "(collections.abc.ItemsView).");
    Py_DECREF(abc);
    return state.keys_view && state.values_view && state.items_view ? 0 : -1;
}

PyMethodDef iteration_methods[] = {
    {"keys", keys_method, METH_NOARGS,
     "keys() -> SharedKeysView\n\nA set-like view of the keys. Iterating it walks the table a few buckets at a "
     "time, each under its own lock, none held between steps: every key present from the start of the walk to "
     "its end comes exactly once, also when the table doubles meanwhile; keys stored or removed meanwhile may "
     "or may not come."},
    {"values", values_method, METH_NOARGS,
     "values() -> SharedValuesView\n\nA view of the values, walked as keys() is."},
    {"items", items_method, METH_NOARGS,
     "items() -> SharedItemsView\n\nA set-like view of (key, value) pairs, walked as keys() is; each value is "
     "read with its key under the bucket's lock, never by a second lookup."},
    {"popitem", popitem_method, METH_NOARGS,
     "popitem() -> (key, value)\n\nRemoves some entry and returns it, in one hold of its bucket's lock: of "
     "threads and processes popping at once, each gets a different entry. KeyError when a walk of the whole "
     "table finds none."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zorvik::shared
