// The class SharedDict: opening (by path, or a new temporary file), closing
// and deleting, pickling by path, statistics, and the type object.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "zorvik/binding/errors.hpp"
#include "zorvik/binding/serializers.hpp"
#include "zorvik/binding/start_up.hpp"
#include "zorvik/shared/shared_dict.hpp"

namespace zorvik::shared {
namespace {

using binding::call_core;
using capi::store_field;

constexpr const char type_file[] = "zorvik/shared/shared_dict.cpp";

// ---- sizes ------------------------------------------------------------------------

// The defaults (kDefaultCapacity, kDefaultInitialBuckets, kDefaultDoublings)
// are the core's (concurrent_hash_map.hpp).
// The most chunks a caller can ask for: a chunk table of 128 MiB.
constexpr std::uint64_t kMostChunks = std::uint64_t{1} << 24;
// The largest first table: 2^30 buckets are 56 GiB of buckets.
constexpr std::uint64_t kMostInitialBuckets = std::uint64_t{1} << 30;
// A new dictionary's data chunks: 2^6 = 64 bytes unless chunk_size says.
constexpr std::uint8_t kSharedDictChunkExponent = 6;
// A new temporary dictionary draws a fresh name up to this many times.
constexpr int kTemporaryNameAttempts = 100;

struct Options {
    PyObject *path = Py_None;
    PyObject *create = Py_None;
    PyObject *serializer = nullptr;  // "pickle" when not given
    PyObject *hash_function = Py_None;
    PyObject *delete_on_close = Py_None;
    PyObject *trust_writers = Py_False;
    CacheOptions cache;
    // Data chunks of 64 bytes: a pickled key and value of a hundred bytes or
    // so take two or three links instead of five (fewer bytes of links, fewer
    // steps to read), and a big value half the links of 32-byte chunks.
    MapArguments arguments{10, std::uint64_t{1} << kDefaultDoublings, kDefaultCapacity, kSharedDictChunkExponent};
};

bool is_power_of_two(std::uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }
unsigned log2_of(std::uint64_t power_of_two) { return static_cast<unsigned>(__builtin_ctzll(power_of_two)); }

// `object` as an unsigned 64-bit count, for the option `name`. 0 or -1.
int to_count(PyObject *object, const char *name, std::uint64_t *out) {
    if (!PyLong_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(object)->tp_name);
        return -1;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s must be between 1 and 2**64 - 1", name);
        return -1;
    }
    *out = value;
    return 0;
}

int check_flag(PyObject *object, const char *name) {
    if (object == Py_None || PyBool_Check(object)) return 0;
    PyErr_Format(PyExc_TypeError, "%s must be True, False or None, not %.200s", name, Py_TYPE(object)->tp_name);
    return -1;
}

// The numbers of a new dictionary's shape, checked. 0 or -1.
int read_sizes(PyObject *capacity, PyObject *initial_buckets, PyObject *max_buckets, PyObject *chunk_size,
               MapArguments &arguments) {
    std::uint64_t value = 0;
    if (capacity != nullptr) {
        if (to_count(capacity, "capacity", &value) < 0) return -1;
        if (value == 0) {
            PyErr_SetString(PyExc_ValueError, "capacity must be at least 1 byte");
            return -1;
        }
        arguments.size = value;
    }
    std::uint64_t initial = kDefaultInitialBuckets;
    if (initial_buckets != nullptr) {
        if (to_count(initial_buckets, "initial_buckets", &initial) < 0) return -1;
        if (!is_power_of_two(initial) || initial > kMostInitialBuckets) {
            PyErr_SetString(PyExc_ValueError, "initial_buckets must be a power of two from 1 to 2**30");
            return -1;
        }
    }
    std::uint64_t chunks = std::uint64_t{1} << kDefaultDoublings;
    if (max_buckets != nullptr && max_buckets != Py_None) {
        if (to_count(max_buckets, "max_buckets", &value) < 0) return -1;
        if (!is_power_of_two(value) || value < initial || value / initial > kMostChunks) {
            PyErr_SetString(PyExc_ValueError,
                            "max_buckets must be a power of two from initial_buckets to initial_buckets * 2**24");
            return -1;
        }
        chunks = value / initial;
    }
    arguments.bucket_chunk_size_exponent = static_cast<std::uint8_t>(log2_of(initial));
    arguments.bucket_chunk_number = chunks;
    if (chunk_size != nullptr) {
        if (to_count(chunk_size, "chunk_size", &value) < 0) return -1;
        if (!is_power_of_two(value) || value < 8 || value > 128) {
            PyErr_SetString(PyExc_ValueError, "chunk_size must be 8, 16, 32, 64 or 128");
            return -1;
        }
        arguments.string_chunk_size_exponent = static_cast<std::uint8_t>(log2_of(value));
    }
    return 0;
}

const char *const init_keywords[] = {"path",         "create",          "serializer", "hash_function",
                                     "capacity",     "initial_buckets", "max_buckets", "chunk_size",
                                     "delete_on_close", "trust_writers", "max_entries", "max_bytes",
                                     "eviction",     "default_ttl",     nullptr};

int read_options(PyObject *args, PyObject *kwargs, Options &options) {
    PyObject *capacity = nullptr;
    PyObject *initial_buckets = nullptr;
    PyObject *max_buckets = nullptr;
    PyObject *chunk_size = nullptr;
    PyObject *max_entries = nullptr;
    PyObject *max_bytes = nullptr;
    PyObject *eviction = nullptr;
    PyObject *default_ttl = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OOOOOOOOOOOOO:SharedDict",
                                     const_cast<char **>(init_keywords), &options.path, &options.create,
                                     &options.serializer, &options.hash_function, &capacity, &initial_buckets,
                                     &max_buckets, &chunk_size, &options.delete_on_close, &options.trust_writers,
                                     &max_entries, &max_bytes, &eviction, &default_ttl)) {
        return -1;
    }
    if (read_cache_options(max_entries, max_bytes, eviction, default_ttl, options.cache) < 0) return -1;
    if (options.cache.given()) options.arguments.cache = options.cache.settings;
    if (check_flag(options.create, "create") < 0 || check_flag(options.delete_on_close, "delete_on_close") < 0) {
        return -1;
    }
    if (!PyBool_Check(options.trust_writers)) {
        PyErr_Format(PyExc_TypeError, "trust_writers must be True or False, not %.200s",
                     Py_TYPE(options.trust_writers)->tp_name);
        return -1;
    }
    if (options.hash_function != Py_None && !PyCallable_Check(options.hash_function)) {
        PyErr_Format(PyExc_TypeError, "hash_function must be callable or None, not %.200s",
                     Py_TYPE(options.hash_function)->tp_name);
        return -1;
    }
    return read_sizes(capacity, initial_buckets, max_buckets, chunk_size, options.arguments);
}

// ---- the file ---------------------------------------------------------------------

// `path` (str, bytes or os.PathLike) as the bytes the system calls take;
// empty with TypeError, or ValueError for a NUL byte.
Ref fs_encoded(PyObject *path) {
    PyObject *bytes = nullptr;
    return PyUnicode_FSConverter(path, &bytes) ? Ref::steal(bytes) : Ref();
}

// The absolute path of `path` (str, bytes or os.PathLike) as bytes, through
// os.path.abspath (relative to the working directory, not resolving links).
int absolute_path(PyObject *path, std::string &out) {
    const Ref bytes = fs_encoded(path);  // TypeError, or ValueError for a NUL byte
    if (!bytes) return -1;
    const Ref absolute = Ref::steal(PyObject_CallOneArg(state.abspath, bytes.get()));
    if (!absolute) return -1;
    if (!PyBytes_Check(absolute.get())) {
        PyErr_SetString(PyExc_TypeError, "os.path.abspath returned no bytes");
        return -1;
    }
    try {
        out.assign(PyBytes_AS_STRING(absolute.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(absolute.get())));
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// `count` random letters and digits, for names no other process draws.
std::string random_letters(std::size_t count) {
    std::string letters_out;
    unsigned char random[32];
    if (count > sizeof random) count = sizeof random;
    if (getentropy(random, count) != 0) {
        // No entropy to be had: the clock and the pid still make names that
        // differ, and a name that exists is drawn again.
        const std::uint64_t seed = static_cast<std::uint64_t>(getpid()) * 0x9E3779B97F4A7C15ull ^
                                   static_cast<std::uint64_t>(clock());
        for (std::size_t i = 0; i < count; ++i) random[i] = static_cast<unsigned char>(seed >> (i % 8 * 8));
    }
    constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (std::size_t i = 0; i < count; ++i) letters_out += letters[random[i] % (sizeof letters - 1)];
    return letters_out;
}

// A fresh path in the temporary directory ($TMPDIR when set and not empty,
// else /tmp, as for brandel's files): "<dir>/zorvik-" and 16 random letters
// and digits.
std::string temporary_path() {
    const char *dir = std::getenv("TMPDIR");
    std::string path = (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
    return path + "/zorvik-" + random_letters(16);
}

// About the least capacity a new dictionary of `arguments` needs: its chunk
// table, its first buckets with an entry chunk each (a 16-byte link and a
// 176-byte chunk, 208 bytes with their headers), a refill group of 100 more,
// and a page for the header and the shared words.
std::uint64_t least_capacity(const MapArguments &arguments) {
    const std::uint64_t buckets = std::uint64_t{1} << arguments.bucket_chunk_size_exponent;
    return arguments.bucket_chunk_number * sizeof(std::uint64_t) + buckets * (56 + 208) + 100 * 208 + 4096;
}

// A creation the capacity cannot hold says how much it needs.
[[noreturn]] void throw_too_small(const MapArguments &arguments) {
    throw std::invalid_argument("a capacity of " + std::to_string(arguments.size) +
                                " bytes is too small for a new dictionary of these sizes: it needs at least about " +
                                std::to_string(least_capacity(arguments)) + " bytes");
}

OpenMode mode_of(PyObject *create) {
    if (create == Py_True) return OpenMode::create;
    if (create == Py_False) return OpenMode::open;
    return OpenMode::open_or_create;
}

// Whether the pending exception is the refusal of a file a repair holds
// (OSError EBUSY: no other failure of an open says EBUSY).
bool held_by_a_repair() {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return false;
    Ref exception = binding::take_exception();
    const Ref code = Ref::steal(PyObject_GetAttrString(exception.get(), "errno"));
    const bool busy = code && PyLong_Check(code.get()) && PyLong_AsLong(code.get()) == EBUSY;
    PyErr_Clear();  // of a failed attribute read, not the exception taken
    binding::restore_exception(std::move(exception));
    return busy;
}

// Opens the map as the options say; `path_out` is the file's path.
int open_map(const Options &options, MapPointer &map, std::string &path_out) {
    if (options.path == Py_None) {
        if (options.create == Py_False) {
            PyErr_SetString(PyExc_ValueError, "create=False needs the path of an existing dictionary");
            return -1;
        }
        return call_core([&] {
                   for (int attempt = 1;; ++attempt) {
                       path_out = temporary_path();
                       try {
                           map = std::make_shared<ConcurrentHashMap_string>(path_out, OpenMode::create,
                                                                            options.arguments);
                           return;
                       } catch (const FileError &e) {
                           if (e.code().value() != EEXIST || attempt == kTemporaryNameAttempts) throw;
                       } catch (const SpaceExhausted &e) {
                           if (e.where() == SpaceExhausted::Where::segment) throw_too_small(options.arguments);
                           throw;
                       }
                   }
               })
                   ? 0
                   : -1;
    }
    if (absolute_path(options.path, path_out) < 0) return -1;
    const bool opened = call_core([&] {
               try {
                   map = std::make_shared<ConcurrentHashMap_string>(path_out, mode_of(options.create),
                                                                    options.arguments);
               } catch (const SpaceExhausted &e) {
                   // Only a creation allocates.
                   if (e.where() == SpaceExhausted::Where::segment) throw_too_small(options.arguments);
                   throw;
               }
           });
    if (!opened && held_by_a_repair()) note_docs_section("repair");
    return opened ? 0 : -1;
}

// ---- temporaries ------------------------------------------------------------------

// The objects whose close deletes their file, for the exit handler. Only
// touched with the interpreter lock held.
SharedDictObject *temporaries = nullptr;

void enter_temporaries(SharedDictObject *self) {
    self->previous_temporary = nullptr;
    self->next_temporary = temporaries;
    if (temporaries != nullptr) temporaries->previous_temporary = self;
    temporaries = self;
}

void leave_temporaries(SharedDictObject *self) {
    if (self->previous_temporary != nullptr) {
        self->previous_temporary->next_temporary = self->next_temporary;
    } else if (temporaries == self) {
        temporaries = self->next_temporary;
    }
    if (self->next_temporary != nullptr) self->next_temporary->previous_temporary = self->previous_temporary;
    self->next_temporary = self->previous_temporary = nullptr;
}

// ---- closing and deleting ---------------------------------------------------------

// Removes the file at the object's path if it is still the file the object
// opened. 0; 1 when the path names no file or another one; -1 with OSError
// set when the removal fails.
int delete_own_file(SharedDictObject *self) {
    const Ref bytes = fs_encoded(self->path);
    if (!bytes) return -1;
    const char *path = PyBytes_AS_STRING(bytes.get());
    struct stat info;
    int result = 1;
    if (stat(path, &info) == 0 && info.st_dev == self->device && info.st_ino == self->inode) {
        result = unlink(path) == 0 ? 0 : -1;
        if (result < 0 && errno == ENOENT) result = 1;  // removed by someone else meanwhile
        if (result < 0) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, self->path);
    }
    return result;
}

// An open descriptor, closed when the holder goes.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// The deletion a closing object owes, if it is due now. The file stays while
// it has another name: each pickle of an object that deletes its file makes
// one (a hand-over link, see hand_over_link), which the process that
// unpickles it takes away once it has the file open, so a dictionary on its
// way to another process is never deleted under it. The object that made the
// file and never handed it over deletes it then, whoever else still has it
// open (their views go on working); any other object (one pickled, one
// unpickled from such a pickle, or one given delete_on_close for a file it
// found) deletes it only when no other process holds it open: it takes the
// open lock exclusive for the moment of the deletion, which every process
// holding the file open prevents (segment.hpp).
// 0, or -1 with OSError set when the deletion failed.
int delete_when_due(SharedDictObject *self) {
    const Ref bytes = fs_encoded(self->path);
    if (!bytes) return -1;
    const Descriptor file{open(PyBytes_AS_STRING(bytes.get()), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return 0;  // gone already, or out of reach: nothing of ours to delete
    struct stat info;
    if (fstat(file.fd, &info) != 0 || info.st_dev != self->device || info.st_ino != self->inode) return 0;
    if (info.st_nlink > 1) return 0;
    if (!self->made_file) {
        if (flock(file.fd, LOCK_EX | LOCK_NB) != 0) return 0;
        // A link made before the lock was taken by a process that has since
        // let go shows now.
        if (fstat(file.fd, &info) != 0 || info.st_nlink > 1) return 0;
    }
    return delete_own_file(self) < 0 ? -1 : 0;
}

// Closes this process's view; deletes the file when the object was made to
// and the deletion is due (delete_when_due). Idempotent. 0, or -1 with
// OSError set when the deletion failed.
int close_dict(SharedDictObject *self) {
    MapPointer map = std::move(self->map);
    // The view goes now, unless an operation in progress holds it: it goes
    // when that operation ends.
    map.reset();
    if (self->path != Py_None) self->closed = true;
    if (!self->delete_on_close) return 0;
    self->delete_on_close = false;
    leave_temporaries(self);
    // A child made by fork inherits the object: only the process that opened
    // it deletes the file.
    if (self->owner != getpid()) return 0;
    return delete_when_due(self);
}

PyObject *temporaries_at_exit(PyObject *, PyObject *) {
    while (temporaries != nullptr) {
        SharedDictObject *self = temporaries;
        if (close_dict(self) < 0) PyErr_WriteUnraisable(reinterpret_cast<PyObject *>(self));
    }
    Py_RETURN_NONE;
}

PyMethodDef temporaries_at_exit_def = {"_close_temporary_dictionaries", temporaries_at_exit, METH_NOARGS, nullptr};

// ---- construction -----------------------------------------------------------------

// What the file at `path` is now: close and unlink delete only that file.
void record_file_identity(SharedDictObject *self, const std::string &path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        // Removed already by another process: nothing to delete later.
        self->device = 0;
        self->inode = 0;
        return;
    }
    self->device = info.st_dev;
    self->inode = info.st_ino;
}

// ---- what an opener checks of the file ---------------------------------------------

// The entry of `name` in the serializer table; null when none has it.
const binding::Serializer *serializer_named(const std::string &name) {
    for (const binding::Serializer &entry : binding::serializers) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

// A file made with a serializer of another stored form holds bytes this one
// would misread (or keys it would not find): refused, naming both. Serializers
// of one form read each other's files ('json', 'orjson' and 'msgspec' all
// store JSON text). A file whose header names none (made before the header
// recorded it, or through brandel) is taken as it is. 0 or -1.
int check_recorded_serializer(const ConcurrentHashMap_string &map, PyObject *name, PyObject *path) {
    std::string recorded;
    if (!call_core([&] { recorded = map.recorded_serializer(); })) return -1;
    const char *wanted = PyUnicode_AsUTF8(name);
    if (wanted == nullptr) return -1;
    if (recorded.empty()) return 0;
    const binding::Serializer *made_with = serializer_named(recorded);
    const binding::Serializer *opened_with = serializer_named(wanted);
    if (made_with != nullptr && opened_with != nullptr &&
        std::strcmp(made_with->stored_form, opened_with->stored_form) == 0) {
        return 0;
    }
    const Ref shown = Ref::steal(PyUnicode_DecodeASCII(recorded.data(), static_cast<Py_ssize_t>(recorded.size()),
                                                       "backslashreplace"));
    if (!shown) return -1;
    if (made_with == nullptr) {
        PyErr_Format(PyExc_ValueError, "%R was made with the serializer %R, which this version of zorvik does not "
                     "know; it cannot be opened with %R", path, shown.get(), name);
    } else {
        PyErr_Format(PyExc_ValueError, "%R was made with the serializer %R, whose stored form %s cannot be read "
                     "as %R: open it with serializer=%R", path, shown.get(), made_with->stored_form, name,
                     shown.get());
    }
    return -1;
}

// Under pickle, reading a value runs whatever code its bytes name: whoever
// can write the file can run code in every process that reads it. So pickle
// opens only a file that no one but this user can write: owned by this
// process's effective user, writable by neither group nor others (ACL entries
// that grant writing show in the group bits). The file judged is the one
// mapped (its descriptor), so a path changed since names nothing here; the
// directory does not matter for the same reason: replacing the file by name
// changes what later opens find, never the file this process maps.
// `trust_writers` lifts the refusal. 0 or -1.
int check_writers(const struct stat &info, PyObject *path) {
    const char *who = nullptr;
    if (info.st_uid != geteuid()) {
        who = "another user (its owner)";
    } else if ((info.st_mode & S_IWOTH) != 0) {
        who = "every user";
    } else if ((info.st_mode & S_IWGRP) != 0) {
        who = "its group";
    }
    if (who == nullptr) return 0;
    PyErr_Format(PyExc_PermissionError,
                 "%R can be written by %s: under pickle a value they store runs code in this process when it is "
                 "read. Make the file writable by this user alone (chmod go-w, or own it), use a serializer that "
                 "runs no code (serializer='json', 'orjson', 'msgpack' or 'msgspec'), or pass trust_writers=True "
                 "if you trust everyone who can write it",
                 path, who);
    note_docs_section("trust");
    return -1;
}

// check_writers of the file the map has open.
int check_writers(const ConcurrentHashMap_string &map, PyObject *path) {
    struct stat info;
    if (fstat(map.file_descriptor(), &info) != 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        return -1;
    }
    return check_writers(info, path);
}

// check_writers of the file at the path a caller gave, before it is opened:
// a refused file is never attached to, so not even the record each attach
// writes changes it. A path that names no file passes (the file the open
// makes or finds is judged once it is open). 0 or -1.
int check_writers_before_opening(PyObject *path) {
    if (path == Py_None) return 0;
    const Ref bytes = fs_encoded(path);
    if (!bytes) return -1;
    struct stat info;
    if (stat(PyBytes_AS_STRING(bytes.get()), &info) != 0) return 0;
    return check_writers(info, path);
}

int shared_dict_init(PyObject *object, PyObject *args, PyObject *kwargs) {
    SharedDictObject *self = as_shared(object);
    // A second __init__ opens anew: the dictionary open so far is closed first.
    if (close_dict(self) < 0) return -1;
    Options options;
    if (read_options(args, kwargs, options) < 0) return -1;
    Ref serializer_name = options.serializer != nullptr ? Ref::borrow(options.serializer)
                                                        : Ref::steal(PyUnicode_FromString("pickle"));
    if (!serializer_name) return -1;
    Ref serializer;
    bool text = false;
    bool key_form = false;
    if (choose_serializer(serializer_name.get(), serializer, &text, &key_form) < 0) return -1;
    Py_ssize_t name_length = 0;
    const char *name = PyUnicode_AsUTF8AndSize(serializer_name.get(), &name_length);
    if (name == nullptr) return -1;
    options.arguments.serializer = std::string_view(name, static_cast<std::size_t>(name_length));
    const bool check_trust = options.arguments.serializer == "pickle" && options.trust_writers != Py_True;
    if (check_trust && check_writers_before_opening(options.path) < 0) return -1;
    MapPointer map;
    std::string path;
    Ref path_object;
    if (open_map(options, map, path) == 0) {
        path_object = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    }
    if (path_object && (check_recorded_serializer(*map, serializer_name.get(), path_object.get()) < 0 ||
                        check_cache_options(*map, options.cache, path_object.get()) < 0 ||
                        (check_trust && check_writers(*map, path_object.get()) < 0))) {
        path_object = Ref();
    }
    if (!path_object) {
        binding::add_traceback("zorvik._shared.SharedDict.__init__", type_file, __LINE__);
        return -1;
    }
    PyObject *hash_function = options.hash_function == Py_None ? state.builtin_hash : options.hash_function;
    store_field(self->hashing.hash_function, Ref::borrow(hash_function));
    store_field(self->serializer, std::move(serializer));
    store_field(self->serializer_name, std::move(serializer_name));
    store_field(self->path, std::move(path_object));
    self->text_serializer = text;
    self->key_form = key_form;
    self->made_file = options.path == Py_None || map->created();
    self->trust_writers = options.trust_writers == Py_True;
    self->map = std::move(map);
    self->popitem_cursor = 0;
    self->closed = false;
    self->owner = getpid();
    record_file_identity(self, path);
    self->delete_on_close = options.delete_on_close == Py_None ? options.path == Py_None
                                                               : options.delete_on_close == Py_True;
    if (self->delete_on_close) enter_temporaries(self);
    return 0;
}

// ---- lifetime ---------------------------------------------------------------------

PyObject *shared_dict_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    SharedDictObject *self = as_shared(object);
    // tp_alloc zeroed the record; the map pointer is a C++ object.
    new (&self->map) MapPointer();
    self->serializer = Py_NewRef(Py_None);
    self->serializer_name = Py_NewRef(Py_None);
    self->path = Py_NewRef(Py_None);
    return object;
}

int shared_dict_traverse(PyObject *object, visitproc visit, void *arg) {
    // A Python subclass's traverse visits the type itself, then calls this.
    SharedDictObject *self = as_shared(object);
    Py_VISIT(self->hashing.hash_function);
    Py_VISIT(self->serializer);
    Py_VISIT(self->serializer_name);
    return 0;
}

int shared_dict_clear_references(PyObject *object) {
    SharedDictObject *self = as_shared(object);
    Py_CLEAR(self->hashing.hash_function);
    store_field(self->serializer, Ref::borrow(Py_None));
    store_field(self->serializer_name, Ref::borrow(Py_None));
    return 0;
}

void shared_dict_dealloc(PyObject *object) {
    SharedDictObject *self = as_shared(object);
    PyObject_GC_UnTrack(object);
    if (self->weakrefs != nullptr) PyObject_ClearWeakRefs(object);
    Ref exception = binding::take_exception();
    if (close_dict(self) < 0) PyErr_WriteUnraisable(object);
    binding::restore_exception(std::move(exception));
    self->map.~MapPointer();
    Py_CLEAR(self->hashing.hash_function);
    Py_CLEAR(self->serializer);
    Py_CLEAR(self->serializer_name);
    Py_CLEAR(self->path);
    // A Python subclass's dealloc calls this and then lets go of its type.
    Py_TYPE(object)->tp_free(object);
}

// ---- methods ----------------------------------------------------------------------

PyObject *close_method(PyObject *object, PyObject *) {
    if (close_dict(as_shared(object)) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *enter_method(PyObject *object, PyObject *) {
    if (!map_of(as_shared(object))) return nullptr;
    return Py_NewRef(object);
}

PyObject *exit_method(PyObject *object, PyObject *) {
    if (close_dict(as_shared(object)) < 0) return nullptr;
    Py_RETURN_FALSE;
}

PyObject *flush_method(PyObject *object, PyObject *) {
    MapPointer map = map_of(as_shared(object));
    if (!map) return nullptr;
    // msync of a file on disk waits for the writes: other threads run
    // meanwhile. The failure is translated once the interpreter lock is back.
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        map->flush();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure && !call_core([&] { std::rethrow_exception(failure); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject *stats_method(PyObject *object, PyObject *) {
    MapPointer map = map_of(as_shared(object));
    if (!map) return nullptr;
    MapStats stats{};
    std::optional<CacheStats> cache;
    std::optional<CacheSettings> rules;
    if (!call_core([&] {
            stats = map->stats();
            cache = map->cache_stats();
            rules = map->cache_settings();
        })) {
        return nullptr;
    }
    const double load =
        stats.buckets == 0 ? 0.0 : static_cast<double>(stats.entries) / static_cast<double>(stats.buckets);
    const unsigned doublings = stats.buckets == 0 || stats.largest_buckets <= stats.buckets
                                   ? 0
                                   : log2_of(stats.largest_buckets) - log2_of(stats.buckets);
    Ref numbers = Ref::steal(Py_BuildValue(
        "{s:K,s:K,s:d,s:I,s:K,s:K,s:K,s:K,s:I}", "entries", stats.entries, "buckets", stats.buckets, "load", load,
        "doublings_left", doublings, "bytes_used", stats.allocated, "bytes_free", stats.capacity - stats.allocated,
        "bytes_free_listed", stats.free_listed, "file_size", stats.file_length, "chunk_size",
        static_cast<unsigned>(stats.data_chunk_size)));
    if (!numbers || !cache || !rules) return numbers.release();
    const Ref counts = cache_stats_dict(*cache, *rules);
    if (!counts || PyDict_Update(numbers.get(), counts.get()) < 0) return nullptr;
    return numbers.release();
}

// A pickle of an object that deletes its file names a hand-over link: a
// second name of the file ("<path>.pickled-" and 12 random letters), which
// keeps the file from being deleted (delete_when_due) until a process
// unpickles it and takes the deletion over. Empty with no exception set when
// no link can be made (a file system without hard links, or one that allows
// none to this user): the pickle then names the path alone. Empty with an
// exception set on failure.
Ref hand_over_link(SharedDictObject *self) {
    const Ref bytes = fs_encoded(self->path);
    if (!bytes) return Ref();
    const std::string target = PyBytes_AS_STRING(bytes.get());
    for (int attempt = 1; attempt <= kTemporaryNameAttempts; ++attempt) {
        std::string link_path;
        try {
            link_path = target + ".pickled-" + random_letters(12);
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
            return Ref();
        }
        if (link(target.c_str(), link_path.c_str()) == 0) {
            return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(link_path.data(),
                                                                static_cast<Py_ssize_t>(link_path.size())));
        }
        if (errno != EEXIST) return Ref();
    }
    return Ref();
}

PyObject *reduce_method(PyObject *object, PyObject *) {
    SharedDictObject *self = as_shared(object);
    if (self->path == Py_None) {
        PyErr_SetString(PyExc_TypeError, "cannot pickle a SharedDict that was never opened");
        return nullptr;
    }
    PyObject *own = self->hashing.hash_function;
    PyObject *hash_function = own == state.builtin_hash || own == nullptr ? Py_None : own;
    Ref handover = Ref::borrow(Py_None);
    if (self->delete_on_close && self->map) {
        handover = hand_over_link(self);
        if (!handover && PyErr_Occurred()) return nullptr;
        // The process that unpickles may take the link away before this
        // object is closed: from now on the file has other users this object
        // must wait for, as any other one does.
        if (handover) self->made_file = false;
        if (!handover) handover = Ref::borrow(Py_None);
    }
    return Py_BuildValue("O(OOOOOO)", state.reopen, Py_TYPE(object), self->path, self->serializer_name,
                         hash_function, self->trust_writers ? Py_True : Py_False, handover.get());
}

// copy.copy and copy.deepcopy give what d.copy() gives: a dict of the
// entries, independent of the file. The values are unserialized anew, so
// they share nothing with the file or with each other's readers. Pickling
// stays a second handle on the same file, which is what a process handing
// the dictionary to another wants.
PyObject *copy_dunder(PyObject *object, PyObject *) { return copy_to_dict(object).release(); }
PyObject *deepcopy_dunder(PyObject *object, PyObject *) { return copy_to_dict(object).release(); }

PyObject *class_getitem(PyObject *cls, PyObject *arguments) { return Py_GenericAlias(cls, arguments); }

PyObject *get_path(PyObject *object, void *) { return Py_NewRef(as_shared(object)->path); }
PyObject *get_closed(PyObject *object, void *) { return PyBool_FromLong(as_shared(object)->closed); }

PyObject *shared_dict_repr(PyObject *object) {
    SharedDictObject *self = as_shared(object);
    const Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
    if (!name) return nullptr;
    if (self->path == Py_None) return PyUnicode_FromFormat("<%U, not opened>", name.get());
    if (!self->map) return PyUnicode_FromFormat("%U(%R, closed)", name.get(), self->path);
    return PyUnicode_FromFormat("%U(%R, entries=%llu)", name.get(), self->path,
                                static_cast<unsigned long long>(self->map->entry_count()));
}

// ---- unlink, on the class and on an object ----------------------------------------

// SharedDict.unlink(path): deletes the dictionary at `path`, after checking
// that the file holds one.
PyObject *unlink_path(PyObject *, PyObject *path) {
    std::string absolute;
    if (absolute_path(path, absolute) < 0) return nullptr;
    if (!call_core([&] { ConcurrentHashMap_string check(absolute, OpenMode::open, kAttachArguments); })) {
        return nullptr;
    }
    if (unlink(absolute.c_str()) != 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// d.unlink(): deletes this dictionary's file, if its path still names it.
PyObject *unlink_own(PyObject *object, PyObject *) {
    SharedDictObject *self = as_shared(object);
    if (self->path == Py_None) {
        PyErr_SetString(PyExc_ValueError, "operation on a SharedDict that was never opened");
        return nullptr;
    }
    const int result = delete_own_file(self);
    if (result < 0) return nullptr;
    if (result == 1) {
        const Ref error = Ref::steal(PyObject_CallFunction(
            PyExc_FileNotFoundError, "isO", ENOENT, "the path no longer names this dictionary's file", self->path));
        if (error) PyErr_SetObject(PyExc_FileNotFoundError, error.get());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef unlink_path_def = {
    "unlink", unlink_path, METH_O,
    "unlink(path, /) -> None\n\nDeletes the dictionary file at path (FileNotFoundError when there is none, "
    "ValueError when the file holds no dictionary). Processes that have it open keep working on it; new "
    "opens no longer find it."};
PyMethodDef unlink_own_def = {
    "unlink", unlink_own, METH_NOARGS,
    "unlink() -> None\n\nDeletes this dictionary's file (FileNotFoundError when its path no longer names it). "
    "This object and every other process that has it open keep working on it; new opens no longer find it."};

// `unlink` on the class is the function of a path; on an object, the
// method that deletes the object's own file.
PyObject *unlink_descriptor_get(PyObject *, PyObject *instance, PyObject *) {
    if (instance == nullptr || instance == Py_None) return PyCFunction_New(&unlink_path_def, nullptr);
    return PyCFunction_New(&unlink_own_def, instance);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject unlink_descriptor_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "zorvik._shared._UnlinkDescriptor",
    .tp_basicsize = sizeof(PyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "SharedDict.unlink(path) deletes the dictionary at path; d.unlink() deletes d's file.",
    .tp_descr_get = unlink_descriptor_get,
};
#pragma GCC diagnostic pop

// ---- the type ---------------------------------------------------------------------

PyMethodDef lifetime_methods[] = {
    {"close", close_method, METH_NOARGS,
     "close() -> None\n\nCloses this process's view of the dictionary; later operations on this object raise "
     "ValueError. The file and its entries stay for every other process (unless this object was made to delete "
     "its file: delete_on_close, the default for a dictionary made without a path). Takes no lock; operations "
     "in progress in other threads finish first. Closing twice does nothing."},
    {"__enter__", enter_method, METH_NOARGS, "__enter__() -> SharedDict\n\nReturns the dictionary itself."},
    {"__exit__", exit_method, METH_VARARGS,
     "__exit__(*exception) -> False\n\nCloses the dictionary (see close)."},
    {"flush", flush_method, METH_NOARGS,
     "flush() -> None\n\nWrites the dictionary's changed pages to its file and waits until they are written "
     "(msync): for files on disk, whose pages the system otherwise writes in its own time. Takes no lock: "
     "entries changed meanwhile by other threads or processes may or may not be written. OSError when the "
     "system refuses."},
    {"stats", stats_method, METH_NOARGS,
     "stats() -> dict\n\nNumbers about the dictionary, each read on its own without a lock: entries, buckets "
     "(of the table in force), load (entries per bucket), doublings_left (how often the table can still "
     "double), bytes_used and bytes_free (of the file's capacity), bytes_free_listed (of bytes_used, free room "
     "that removals gave back, which later stores of any size reuse), file_size (the file's length; the file is "
     "sparse, so most of it takes no room) and chunk_size (bytes of one data chunk). A cache adds hits and "
     "misses (of gets and lookups), sets (stores), evictions, expirations, entry_bytes (what the entries take, "
     "which max_bytes bounds), max_entries and max_bytes: counts of every process, which each adds to the file "
     "every few thousand operations and when it closes."},
    {"__reduce__", reduce_method, METH_NOARGS,
     "__reduce__() -> tuple\n\nPickles the dictionary as its path, serializer, hash function and "
     "trust_writers: unpickled, it opens the same file (create=False), in this process or another one. A "
     "dictionary that deletes its file (delete_on_close) keeps it until the pickle is unpickled, and the "
     "unpickled object deletes it when it is closed and no other process has it open."},
    {"__copy__", copy_dunder, METH_NOARGS,
     "__copy__() -> dict\n\ncopy.copy(d): a dict of the entries, as d.copy() (not a second handle on the file)."},
    {"__deepcopy__", deepcopy_dunder, METH_O,
     "__deepcopy__(memo) -> dict\n\ncopy.deepcopy(d): a dict of the entries, as d.copy(): the values are read "
     "anew from the file, so the dict shares nothing with it. Writes to it never reach the file."},
    {"__class_getitem__", class_getitem, METH_O | METH_CLASS,
     "SharedDict[K, V]: the generic alias, for type annotations."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef shared_dict_getset[] = {
    {"path", get_path, nullptr, "The absolute path of the dictionary's file (str); None before it is opened.",
     nullptr},
    {"closed", get_closed, nullptr, "True once close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The class's methods: the lifetime ones here, the mapping and iteration
// ones from their files; filled once at start-up.
PyMethodDef all_methods[64];

int gather_methods() {
    std::size_t n = 0;
    for (const PyMethodDef *table :
         {lifetime_methods, mapping_methods, iteration_methods, batch_methods, cache_methods}) {
        for (const PyMethodDef *m = table; m->ml_name != nullptr; ++m) {
            if (n + 1 >= sizeof all_methods / sizeof all_methods[0]) {
                PyErr_SetString(PyExc_SystemError, "too many SharedDict methods for the method table");
                return -1;
            }
            all_methods[n++] = *m;
        }
    }
    all_methods[n] = PyMethodDef{nullptr, nullptr, 0, nullptr};
    return 0;
}

constexpr const char shared_dict_doc[] =
    "SharedDict(path=None, *, create=None, serializer='pickle', hash_function=None, capacity=1099511627776, "
    "initial_buckets=1024, max_buckets=None, chunk_size=64, delete_on_close=None, trust_writers=False, "
    "max_entries=None, max_bytes=None, eviction=None, default_ttl=None)\n"
    "--\n\n"
    "A dictionary in a file that every thread of every process that opens the file uses at once.\n\n"
    "path: the file (str, bytes or os.PathLike); None makes a new file in $TMPDIR (else /tmp), deleted when "
    "this object is closed. create: None opens the file, or creates it when there is none; True requires a "
    "new file (FileExistsError); False an existing one (FileNotFoundError). A file is created atomically: "
    "it appears at path complete, and of processes racing to create one path, one creates it and the others "
    "open it. serializer: 'pickle' (protocol 5), 'json', 'orjson', 'msgpack' or 'msgspec'; every process "
    "must use the same. hash_function: None for the portable hash (the same in every process); a callable "
    "of your own must be passed by every process. capacity (bytes of the sparse file; 2**40 by default), "
    "initial_buckets, "
    "max_buckets (default initial_buckets * 2**18) and chunk_size (bytes of a data chunk: 8 to 128, 64 by default) shape a new file "
    "only; an existing file keeps its own. delete_on_close: delete the file when this object is closed "
    "(default: only for path=None); a file this object did not create is deleted only when no other process "
    "has it open, and a pickled dictionary's file stays until the pickle is unpickled. trust_writers: under "
    "pickle, a file that another user, a group or everyone can write is refused (PermissionError), since "
    "reading a value runs code its writer chose; True opens it all the same. A file made with a serializer "
    "of another stored form is refused (ValueError). max_entries, eviction ('lru', 'lfu', 'random' or "
    "'ttl') and default_ttl (seconds) make a new file a cache, whose rules its file keeps: stores past max_entries "
    "evict, expired entries are absent; an opener whose options differ from an existing file's is refused "
    "(ValueError).\n\n"
    "Every operation on a key locks only that key's bucket; iteration holds no lock between steps.";

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject shared_dict_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "zorvik._shared.SharedDict",
    .tp_basicsize = sizeof(SharedDictObject),
    .tp_dealloc = shared_dict_dealloc,
    .tp_repr = shared_dict_repr,
    .tp_as_sequence = &shared_dict_as_sequence,
    .tp_as_mapping = &shared_dict_as_mapping,
    .tp_hash = PyObject_HashNotImplemented,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MAPPING,
    .tp_doc = shared_dict_doc,
    .tp_traverse = shared_dict_traverse,
    .tp_clear = shared_dict_clear_references,
    .tp_richcompare = shared_dict_richcompare,
    .tp_weaklistoffset = offsetof(SharedDictObject, weakrefs),
    .tp_iter = shared_dict_iter,
    .tp_methods = all_methods,
    .tp_getset = shared_dict_getset,
    .tp_init = shared_dict_init,
    .tp_new = shared_dict_new,
};
#pragma GCC diagnostic pop

binding::DictionaryParts shared_parts(PyObject *object) {
    SharedDictObject *self = as_shared(object);
    return binding::DictionaryParts{&self->hashing,
                                    &self->map,
                                    &self->serializer,
                                    &self->text_serializer,
                                    self->closed ? "operation on a closed SharedDict"
                                                 : "operation on a SharedDict that was never opened",
                                    &self->key_form};
}

MapPointer map_of(SharedDictObject *self) { return binding::map_of(shared_parts(reinterpret_cast<PyObject *>(self))); }

int ready_shared_dict_type() {
    if (gather_methods() < 0 || PyType_Ready(&unlink_descriptor_type) < 0 || PyType_Ready(&shared_dict_type) < 0) {
        return -1;
    }
    const Ref descriptor = Ref::steal(PyType_GenericAlloc(&unlink_descriptor_type, 0));
    if (!descriptor || PyDict_SetItemString(shared_dict_type.tp_dict, "unlink", descriptor.get()) < 0) return -1;
    PyType_Modified(&shared_dict_type);
    return 0;
}

// _reopen's part for a pickle that names a hand-over link (hand_over_link):
// `object`, opened through the link, takes the file's own path and the link
// goes. 0, or -1 with an exception set.
int take_hand_over(PyObject *object, PyObject *path, PyObject *handover) {
    SharedDictObject *self = as_shared(object);
    store_field(self->path, Ref::borrow(path));
    const Ref bytes = fs_encoded(handover);
    if (!bytes) return -1;
    // Taken by another unpickling of the same pickle meanwhile: nothing left to do.
    if (unlink(PyBytes_AS_STRING(bytes.get())) != 0 && errno != ENOENT) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, handover);
        return -1;
    }
    return 0;
}

int register_temporaries_handler() { return binding::register_at_exit(&temporaries_at_exit_def); }

}  // namespace zorvik::shared
