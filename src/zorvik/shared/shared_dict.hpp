// zorvik._shared: the class SharedDict, the dictionary as Python users expect
// it (collections.abc.MutableMapping), on the core and the file format that
// zorvik.brandel uses, with atomic per-key operations; its iterator and
// views; the sentinel ABSENT.
//
// The module keeps its state in process-wide variables and static types, so
// it uses single-phase initialisation and lives in one interpreter per
// process, as zorvik.brandel does.
#pragma once

#include <Python.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "zorvik/binding/operations.hpp"
#include "zorvik/capi/ref.hpp"
#include "zorvik/fennick/fennick.hpp"

namespace zorvik::shared {

using binding::MapPointer;
using capi::Ref;

struct SharedDictObject {
    PyObject_HEAD
    // The record the key operations' path hashes through: only its
    // hash_function is read (the built-in hash standing for the portable
    // hash). It is not a Python object; its header stays zero.
    fennick::FennickObject hashing;
    // This process's map; empty before the object is opened and once it is
    // closed. Shared with the operations in progress, which keep the map
    // they use alive while Python code (a serializer, a hash function, another
    // thread) runs and may close the object.
    MapPointer map;
    PyObject *serializer;       // the object whose dumps and loads are used
    PyObject *serializer_name;  // the name it was chosen by (str), for pickling
    PyObject *path;             // absolute path of the file (str); None until opened
    PyObject *weakrefs;
    std::uint64_t popitem_cursor;  // where popitem looks first (process-local)
    dev_t device;                  // the file at `path` when it was opened
    ino_t inode;
    pid_t owner;  // the process that opened it: the only one whose close deletes the file
    bool text_serializer;
    bool key_form;  // keys are stored by their key form (binding/key_form.hpp): under pickle
    bool delete_on_close;
    bool made_file;      // this object's opening created the file, and no pickle of it handed it over
    bool trust_writers;  // opened under pickle though others may write the file
    bool closed;
    // The objects that delete their file when closed, for the exit handler.
    SharedDictObject *next_temporary;
    SharedDictObject *previous_temporary;
};

// What the module keeps for the process (module.cpp): made once at start-up
// and never released, so its references are raw pointers.
struct SharedState {
    PyObject *builtin_hash = nullptr;
    PyObject *absent = nullptr;  // the sentinel ABSENT
    PyObject *mapping_abc = nullptr;
    PyObject *keys_view = nullptr;  // the view classes
    PyObject *values_view = nullptr;
    PyObject *items_view = nullptr;
    PyObject *reopen = nullptr;    // _reopen, which unpickling calls
    PyObject *abspath = nullptr;   // os.path.abspath
    PyObject *pickle_serializer = nullptr;  // dumps with protocol 5, pickle.loads
    PyObject *pickle_dumps = nullptr;
    PyObject *pickle_protocol = nullptr;    // the int 5
    PyObject *mapping_keys = nullptr;       // interned "keys"
    PyObject *view_mapping = nullptr;       // interned "_mapping"
    PyObject *serializers = nullptr;        // SERIALIZERS: the binding's table, for Python
    PyTypeObject *brandel_type = nullptr;   // zorvik.brandel.brandel, once a batch function met one
};
extern SharedState state;

extern PyTypeObject shared_dict_type;
extern PyTypeObject iterator_type;
extern PyTypeObject absent_type;

inline SharedDictObject *as_shared(PyObject *object) { return reinterpret_cast<SharedDictObject *>(object); }

// Where a SharedDict keeps what the key operations' path reads.
binding::DictionaryParts shared_parts(PyObject *object);

// The object's map, or an empty pointer with ValueError set ("closed", or
// never opened).
MapPointer map_of(SharedDictObject *self);

// ---- the parts of the class, by file ----------------------------------------------

// mapping.cpp: the mapping protocol and the atomic operations.
extern PyMappingMethods shared_dict_as_mapping;
extern PySequenceMethods shared_dict_as_sequence;
extern PyMethodDef mapping_methods[];  // terminated by an empty entry
PyObject *shared_dict_richcompare(PyObject *self, PyObject *other, int op);

// iteration.cpp: iterators, views and popitem.
PyObject *shared_dict_iter(PyObject *self);
// The entries as a new dict (copy()); empty with an exception set on failure.
Ref copy_to_dict(PyObject *self);
extern PyMethodDef iteration_methods[];  // terminated by an empty entry
int make_view_classes();  // 0 or -1

// batches.cpp: the batch methods, and the module functions of the same names
// that take a SharedDict or a brandel first.
extern PyMethodDef batch_methods[];    // terminated by an empty entry
extern PyMethodDef batch_functions[];  // terminated by an empty entry

// serializers.cpp: the serializer of a name, whether its dumps gives text, and
// whether keys take the key form under it (pickle). 0, or -1 with an
// exception set.
int choose_serializer(PyObject *name, Ref &serializer, bool *text, bool *key_form);

// serializers.cpp: the bytes a SharedDict stores `key` by under pickle (its
// key form); empty with an exception set on failure.
Ref pickle_key_bytes(PyObject *key);

// module.cpp: adds to the pending exception a note with the link to the
// documentation's section on `topic` (a key of zorvik._docs.SECTIONS). The
// exception stays pending and unchanged otherwise, also when the note cannot
// be added.
void note_docs_section(const char *topic) noexcept;

// cache.cpp: the options that make a new file a cache, as an opener gave
// them (each flag: the option was given).
struct CacheOptions {
    CacheSettings settings;
    bool max_entries = false;
    bool max_bytes = false;
    bool eviction = false;
    bool default_ttl = false;
    bool given() const { return max_entries || max_bytes || eviction || default_ttl; }
};
// cache.cpp: the cache options of SharedDict(...) (None or absent: not given),
// checked. 0 or -1.
// A cache's counts and bounds as SharedDict.stats() adds them.
capi::Ref cache_stats_dict(const CacheStats &counts, const CacheSettings &rules);

int read_cache_options(PyObject *max_entries, PyObject *max_bytes, PyObject *eviction, PyObject *default_ttl,
                       CacheOptions &options);
// cache.cpp: an opener's cache options against the file's rules: a plain
// file, or a cache made with other values for options given, is refused with
// ValueError naming both. 0 or -1.
int check_cache_options(const ConcurrentHashMap_string &map, const CacheOptions &options, PyObject *path);
// cache.cpp: a TTL in seconds (int or float, above 0, at most 100 years) as
// whole milliseconds, at least 1. 0, or -1 with TypeError or ValueError
// naming the argument `name`.
int ttl_from_seconds(PyObject *object, const char *name, std::optional<std::uint64_t> &ms);
// cache.cpp: set, ttl, expire, touch and cache_settings.
extern PyMethodDef cache_methods[];  // terminated by an empty entry

// shared_dict.cpp: completes the type (its method table, the unlink
// descriptor). 0 or -1.
int ready_shared_dict_type();
// shared_dict.cpp: _reopen's part for a pickle that names a hand-over link:
// the SharedDict `object`, opened through the link `handover`, takes the
// file's own path and the link goes. 0, or -1 with an exception set.
int take_hand_over(PyObject *object, PyObject *path, PyObject *handover);

// shared_dict.cpp: the exit handler that closes the temporary dictionaries
// this process still has open. 0 or -1.
int register_temporaries_handler();

}  // namespace zorvik::shared
