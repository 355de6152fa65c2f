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
#include <new>
#include <utility>

#include "zorvik/binding/errors.hpp"
#include "zorvik/shared/shared_dict.hpp"

namespace zorvik::shared {
namespace {

using binding::call_core;
using capi::store_field;

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

    char *reserve(Part part, std::uint64_t length) override {
        if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return nullptr;
        Ref &slot = part == Part::key ? key_ : value_;
        slot = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
        return slot ? PyBytes_AS_STRING(slot.get()) : nullptr;
    }
    void commit() override {
        const Ref item = kind_ == Kind::items ? Ref::steal(PyTuple_Pack(2, key_.get(), value_.get()))
                                              : Ref::borrow(kind_ == Kind::keys ? key_.get() : value_.get());
        const bool appended = item && PyList_Append(list_, item.get()) == 0;
        abandon();
        if (!appended) throw std::bad_alloc();  // the MemoryError is set and stays
    }
    void abandon() noexcept override {
        key_.reset();
        value_.reset();
    }

private:
    Kind kind_;
    PyObject *list_;
    Ref key_;
    Ref value_;
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
    // A walk driven by C code (copy(), dict(d), list(d)) runs no bytecode, which
    // would answer a signal (Ctrl-C): each step does, before it reads.
    if (PyErr_CheckSignals() < 0) return -1;
    MapPointer map = map_of(as_shared(it->dict));
    if (!map) return -1;
    Ref batch = Ref::steal(PyList_New(0));
    if (!batch) return -1;
    BatchSink sink(it->kind, batch.get());
    std::uint64_t cursor = it->cursor;
    if (!call_core([&] { cursor = map->scan(cursor, sink, kBucketsPerStep); })) return -1;
    it->cursor = cursor;
    it->done = cursor == 0;
    store_field(it->batch, std::move(batch));
    it->position = 0;
    return 0;
}

// The loaded object of raw bytes, by the dictionary's serializer (held for
// the call, which may re-initialise the dictionary).
Ref load(PyObject *dict, PyObject *raw) {
    const Ref serializer = Ref::borrow(as_shared(dict)->serializer);
    return binding::deserialize(serializer.get(), raw);
}

// A list, and every list in it, as a tuple; -1 (and empty) on failure.
Ref tuple_of_lists(PyObject *list) {
    if (Py_EnterRecursiveCall(" while turning a key's lists into tuples") != 0) return Ref();
    const Py_ssize_t n = PyList_GET_SIZE(list);
    Ref tuple = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; tuple && i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(list, i);
        Ref converted = PyList_CheckExact(item) ? tuple_of_lists(item) : Ref::borrow(item);
        if (!converted) {
            tuple.reset();
            break;
        }
        PyTuple_SET_ITEM(tuple.get(), i, converted.release());
    }
    Py_LeaveRecursiveCall();
    return tuple;
}

// A key, loaded. JSON and msgpack have no tuples: a tuple key is stored as an
// array and loads as a list, which cannot have been a key (a list has no
// hash), so it comes back as the tuple it was (nested ones too), and the
// keys of a dictionary can go into a dict again.
Ref load_key(PyObject *dict, PyObject *raw) {
    Ref key = load(dict, raw);
    // pickle brings tuples back as tuples (and keys in the key form are pickles).
    if (!key || !PyList_CheckExact(key.get()) || as_shared(dict)->key_form) return key;
    return tuple_of_lists(key.get());
}

Ref load_item(PyObject *dict, PyObject *raw_pair) {
    const Ref key = load_key(dict, PyTuple_GET_ITEM(raw_pair, 0));
    if (!key) return Ref();
    const Ref value = load(dict, PyTuple_GET_ITEM(raw_pair, 1));
    if (!value) return Ref();
    return Ref::steal(PyTuple_Pack(2, key.get(), value.get()));
}

PyObject *iterator_next(PyObject *object) {
    IteratorObject *it = as_iterator(object);
    while (it->batch == nullptr || it->position >= PyList_GET_SIZE(it->batch)) {
        if (it->done) return nullptr;  // StopIteration
        if (next_batch(it) < 0) return nullptr;
    }
    // Held: loading runs Python code, which may advance this iterator.
    const Ref raw = Ref::borrow(PyList_GET_ITEM(it->batch, it->position++));
    switch (it->kind) {
        case Kind::keys:
            return load_key(it->dict, raw.get()).release();
        case Kind::values:
            return load(it->dict, raw.get()).release();
        case Kind::items:
            break;
    }
    return load_item(it->dict, raw.get()).release();
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
    const Ref mapping = Ref::steal(PyObject_GetAttr(view, state.view_mapping));
    if (!mapping) return nullptr;
    if (!PyObject_TypeCheck(mapping.get(), &shared_dict_type)) {
        PyErr_Format(PyExc_TypeError, "a SharedDict view of a %.200s", Py_TYPE(mapping.get())->tp_name);
        return nullptr;
    }
    return make_iterator(mapping.get(), kind);
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
    const Ref base_class = Ref::steal(PyObject_GetAttrString(abc, base));
    if (!base_class) return nullptr;
    const Ref function = Ref::steal(PyCFunction_New(iter_def, nullptr));
    if (!function) return nullptr;
    const Ref method = Ref::steal(PyInstanceMethod_New(function.get()));
    if (!method) return nullptr;
    return PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "s(O){s:(),s:s,s:s,s:O}", name,
                                 base_class.get(), "__slots__", "__module__", "zorvik._shared", "__doc__", doc,
                                 "__iter__", method.get());
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
    const Ref taken = Ref::steal(PyList_New(0));
    if (!taken) return nullptr;
    BatchSink sink(Kind::items, taken.get());
    // A local copy: another thread of this process may run popitem while this
    // one waits for a lock. The cursor is only where to look first.
    std::uint64_t cursor = self->popitem_cursor;
    bool found = false;
    if (!call_core([&] { found = map->take_any(cursor, sink); })) return nullptr;
    self->popitem_cursor = cursor;
    if (!found) {
        PyErr_SetString(PyExc_KeyError, "popitem(): dictionary is empty");
        return nullptr;
    }
    return load_item(object, PyList_GET_ITEM(taken.get(), 0)).release();
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

Ref copy_to_dict(PyObject *self) {
    const Ref iterator = Ref::steal(make_iterator(self, Kind::items));
    if (!iterator) return Ref();
    Ref copy = Ref::steal(PyDict_New());
    if (!copy) return Ref();
    while (const Ref pair = Ref::steal(PyIter_Next(iterator.get()))) {
        if (PyDict_SetItem(copy.get(), PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1)) < 0) {
            return Ref();
        }
    }
    if (PyErr_Occurred()) return Ref();
    return copy;
}

int make_view_classes() {
    const Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return -1;
    state.keys_view = make_view_class(abc.get(), "SharedKeysView", "KeysView", &keys_view_iter_def,
                                      "The keys of a SharedDict: a set-like view (collections.abc.KeysView).");
    state.values_view = make_view_class(abc.get(), "SharedValuesView", "ValuesView", &values_view_iter_def,
                                        "The values of a SharedDict (collections.abc.ValuesView).");
    state.items_view = make_view_class(abc.get(), "SharedItemsView", "ItemsView", &items_view_iter_def,
                                       "The (key, value) pairs of a SharedDict: a set-like view "
                                       "(collections.abc.ItemsView).");
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
