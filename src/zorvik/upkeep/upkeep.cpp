// zorvik._upkeep: the operator's view of a dictionary's file, behind
// zorvik.tools and `python -m zorvik`: its check and offline repair, its
// shape and space, its held locks, and its entries as stored (dump, load).
// Everything works on the file format, through the core, never through a
// serializer or a hash function, so that every dictionary class's files are
// served alike. (It links a core of its own; the dictionaries of
// zorvik.brandel run on that module's.)
//
// Long walks call a Python `progress(done, total)` now and then. An exception
// it raises (Ctrl-C in a terminal) stops a read-only walk at once; a repair
// runs to its end first, since stopping it half way would leave more to
// repair, and raises it then.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "zorvik/binding/args.hpp"
#include "zorvik/binding/errors.hpp"
#include "zorvik/capi/ref.hpp"
#include "zorvik/core/map/entry_stream.hpp"
#include "zorvik/core/map/map_creation.hpp"
#include "zorvik/core/map/map_survey.hpp"
#include "zorvik/core/map/offline_repair.hpp"
#include "zorvik/core/segment/crash_points.hpp"
#include "zorvik/core/segment/file_users.hpp"

namespace zorvik::binding {
namespace {

using capi::Ref;


Ref string_list(const std::vector<std::string> &lines) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(lines.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        PyObject *line = PyUnicode_DecodeUTF8(lines[i].data(), static_cast<Py_ssize_t>(lines[i].size()), "replace");
        if (line == nullptr) return Ref();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), line);
    }
    return list;
}

Ref check_dict(const MapCheck &check) {
    const Ref faults = string_list(check.faults);
    if (!faults) return Ref();
    const Ref held = string_list(check.held_locks);
    if (!held) return Ref();
    return Ref::steal(Py_BuildValue(
        "{s:O,s:K,s:K,s:O,s:K,s:K,s:K,s:O,s:K,s:O}", "faults", faults.get(), "entries",
        static_cast<unsigned long long>(check.entries), "entry_count", static_cast<unsigned long long>(check.entry_count),
        "held_locks", held.get(), "pending_intents", static_cast<unsigned long long>(check.pending_intents),
        "marked_buckets", static_cast<unsigned long long>(check.marked_buckets), "expansion_workers",
        static_cast<unsigned long long>(check.expansion_workers), "expansion_in_progress",
        check.expansion_in_progress ? Py_True : Py_False, "chunks_reached",
        static_cast<unsigned long long>(check.chunks_reached), "clean", check.clean() ? Py_True : Py_False));
}

// A Python exception raised by a callback, already pending: it wins over the
// core's failure in set_exception_from_core.
struct PythonFailed {};

// progress(done, total) for a read-only walk: an exception stops the walk.
Progress stopping_progress(PyObject *callable) {
    if (callable == nullptr || callable == Py_None) return nullptr;
    return [callable](std::uint64_t done, std::uint64_t total) {
        const Ref result = Ref::steal(PyObject_CallFunction(callable, "KK", static_cast<unsigned long long>(done),
                                                            static_cast<unsigned long long>(total)));
        if (!result) throw PythonFailed{};
    };
}

// progress(done, total) for a repair: the first exception is set aside in
// `held` and the walk goes on.
Progress patient_progress(PyObject *callable, Ref &held) {
    if (callable == nullptr || callable == Py_None) return nullptr;
    return [callable, &held](std::uint64_t done, std::uint64_t total) {
        const Ref result = Ref::steal(PyObject_CallFunction(callable, "KK", static_cast<unsigned long long>(done),
                                                            static_cast<unsigned long long>(total)));
        if (result) return;
        if (!held) {
            held = take_exception();
        } else {
            PyErr_Clear();
        }
    };
}

// The contents of a bytes object the path converter made.
std::string bytes_text(const Ref &bytes) {
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// The path (str, bytes or path-like, as os.fsencode takes it), then an
// optional progress callable.
bool path_and_progress(PyObject *args, std::string *path, PyObject **progress) {
    PyObject *encoded = nullptr;
    *progress = nullptr;
    if (!PyArg_ParseTuple(args, "O&|O", PyUnicode_FSConverter, &encoded, progress)) return false;
    *path = bytes_text(Ref::steal(encoded));
    if (path->find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return false;
    }
    return true;
}

// check(path, progress=None, live=False) -> dict
PyObject *upkeep_check(PyObject *, PyObject *args, PyObject *keywords) {
    static const char *names[] = {"path", "progress", "live", nullptr};
    PyObject *encoded = nullptr, *progress = nullptr;
    int live = 0;
    if (!PyArg_ParseTupleAndKeywords(args, keywords, "O&|Op", const_cast<char **>(names), PyUnicode_FSConverter,
                                     &encoded, &progress, &live)) {
        return nullptr;
    }
    const std::string path = bytes_text(Ref::steal(encoded));
    MapCheck check;
    if (!call_core([&] { check = check_map_file(path, stopping_progress(progress), live != 0); })) return nullptr;
    return check_dict(check).release();
}

PyObject *upkeep_repair(PyObject *, PyObject *args) {
    std::string path;
    PyObject *progress = nullptr;
    if (!path_and_progress(args, &path, &progress)) return nullptr;
    RepairReport report;
    Ref held;
    const bool repaired = call_core([&] { report = repair_map_file(path, patient_progress(progress, held)); });
    if (held) {
        if (repaired) restore_exception(std::move(held));
        return nullptr;
    }
    if (!repaired) return nullptr;
    const Ref before = check_dict(report.before);
    if (!before) return nullptr;
    const Ref after = check_dict(report.after);
    if (!after) return nullptr;
    const Ref done = string_list(report.done);
    if (!done) return nullptr;
    return Py_BuildValue("{s:O,s:O,s:O,s:K}", "before", before.get(), "after", after.get(), "done", done.get(),
                         "reclaimed_chunks", static_cast<unsigned long long>(report.reclaimed_chunks));
}

// _crash_after(steps): for the fault tests. Call it in a child made by fork
// before the child's first operation: every dictionary in the child (each
// extension module links a core of its own) kills the process (SIGKILL) at
// the given crash point of the changes it makes from then on; 0 disarms.
PyObject *upkeep_crash_after(PyObject *, PyObject *steps_object) {
    const unsigned long long steps = PyLong_AsUnsignedLongLong(steps_object);
    if (steps == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    const std::string text = std::to_string(steps);
    if (setenv(crash_points::kCountdownVariable, text.c_str(), 1) != 0) return PyErr_SetFromErrno(PyExc_OSError);
    crash_points::kill_at(steps);
    Py_RETURN_NONE;
}

Ref space_dict(const SpaceUse &use) {
    return Ref::steal(Py_BuildValue(
        "{s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K}", "capacity", static_cast<unsigned long long>(use.capacity), "allocated",
        static_cast<unsigned long long>(use.allocated), "in_use", static_cast<unsigned long long>(use.in_use),
        "free_listed", static_cast<unsigned long long>(use.free_listed), "free_entry_chunks",
        static_cast<unsigned long long>(use.free_chunks[0]), "free_link_chunks",
        static_cast<unsigned long long>(use.free_chunks[1]), "free_data_chunks",
        static_cast<unsigned long long>(use.free_chunks[2]), "unreachable",
        static_cast<unsigned long long>(use.unreachable)));
}

// survey(path, progress=None) -> dict: the shape, the check and the space.
PyObject *upkeep_survey(PyObject *, PyObject *args) {
    std::string path;
    PyObject *progress = nullptr;
    if (!path_and_progress(args, &path, &progress)) return nullptr;
    MapCheck check;
    SpaceUse space;
    MapShape shape{};
    std::uint64_t chunks = 0, reachable = 0;
    if (!call_core([&] {
            std::unique_ptr<MapState> state = attach_map(path, Attach::inspect);
            MapState &m = *state;
            ChunkMarks reached;
            check = check_map(m, &reached, stopping_progress(progress));
            space = measure_space(m, reached);
            shape = MapShape{m.bucket_chunk_size, m.bucket_chunk_number, m.data_chunk_size};
            chunks = m.chunks_in_use();
            reachable = m.reachable_chunks;
        })) {
        return nullptr;
    }
    const Ref checked = check_dict(check);
    if (!checked) return nullptr;
    const Ref used = space_dict(space);
    if (!used) return nullptr;
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:i,s:O,s:O}", "bucket_chunk_size",
                         static_cast<unsigned long long>(shape.bucket_chunk_size), "bucket_chunk_number",
                         static_cast<unsigned long long>(shape.bucket_chunk_number), "chunks_in_use",
                         static_cast<unsigned long long>(chunks), "reachable_chunks",
                         static_cast<unsigned long long>(reachable), "data_chunk_size",
                         static_cast<int>(shape.data_chunk_size), "check", checked.get(), "space", used.get());
}

// locks(path, progress=None) -> [(name, pid, "alive" | "ended" | "unnamed")]
PyObject *upkeep_locks(PyObject *, PyObject *args) {
    std::string path;
    PyObject *progress = nullptr;
    if (!path_and_progress(args, &path, &progress)) return nullptr;
    std::vector<HeldLock> held;
    if (!call_core([&] {
            std::unique_ptr<MapState> state = attach_map(path, Attach::inspect);
            held = held_locks(*state, stopping_progress(progress));
        })) {
        return nullptr;
    }
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const HeldLock &lock : held) {
        const char *holder = lock.holder == HeldLock::Holder::alive   ? "alive"
                             : lock.holder == HeldLock::Holder::ended ? "ended"
                                                                      : "unnamed";
        const Ref item = Ref::steal(Py_BuildValue("(s#is)", lock.name.data(),
                                                  static_cast<Py_ssize_t>(lock.name.size()), lock.pid, holder));
        if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
    }
    return list.release();
}

// holders(path) -> [pid]: the processes that hold the file open or map it.
PyObject *upkeep_holders(PyObject *, PyObject *args) {
    std::string path;
    PyObject *progress = nullptr;
    if (!path_and_progress(args, &path, &progress)) return nullptr;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    std::vector<int> pids;
    if (!call_core([&] { pids = processes_holding_file(info.st_dev, info.st_ino); })) return nullptr;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(pids.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < pids.size(); ++i) {
        PyObject *pid = PyLong_FromLong(pids[i]);
        if (pid == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pid);
    }
    return list.release();
}

// dump(path, write, progress=None) -> entries: the raw dump, written through
// write(bytes) in pieces of about a mebibyte.
PyObject *upkeep_dump(PyObject *, PyObject *args) {
    PyObject *encoded = nullptr, *write = nullptr, *progress = nullptr;
    if (!PyArg_ParseTuple(args, "O&O|O", PyUnicode_FSConverter, &encoded, &write, &progress)) return nullptr;
    const std::string path = bytes_text(Ref::steal(encoded));
    std::uint64_t entries = 0;
    if (!call_core([&] {
            std::unique_ptr<MapState> state = attach_map(path, Attach::inspect);
            MapState &m = *state;
            const DumpShape shape{m.bucket_chunk_size, m.bucket_chunk_number,
                                  memory_manager(m.base)->capacity - kFirstChunk, m.data_chunk_size};
            DumpWriter writer(
                [write](const char *bytes, std::size_t length) {
                    const Ref result =
                        Ref::steal(PyObject_CallFunction(write, "y#", bytes, static_cast<Py_ssize_t>(length)));
                    if (!result) throw PythonFailed{};
                },
                shape);
            for_each_entry(m, [&](const StoredEntry &entry) { writer.entry(entry); }, stopping_progress(progress));
            writer.finish();
            entries = writer.entries();
        })) {
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(entries);
}

// entries(path, visit, progress=None) -> visits: visit(hash, key, value) for
// every entry as stored, until it returns a true value.
PyObject *upkeep_entries(PyObject *, PyObject *args) {
    PyObject *encoded = nullptr, *visit = nullptr, *progress = nullptr;
    if (!PyArg_ParseTuple(args, "O&O|O", PyUnicode_FSConverter, &encoded, &visit, &progress)) return nullptr;
    const std::string path = bytes_text(Ref::steal(encoded));
    struct Enough {};
    std::uint64_t visits = 0;
    const bool done = call_core([&] {
        std::unique_ptr<MapState> state = attach_map(path, Attach::inspect);
        try {
            for_each_entry(
                *state,
                [&](const StoredEntry &entry) {
                    const Ref result = Ref::steal(PyObject_CallFunction(
                        visit, "Ly#y#", static_cast<long long>(entry.hash), entry.key.data(),
                        static_cast<Py_ssize_t>(entry.key.size()), entry.value.data(),
                        static_cast<Py_ssize_t>(entry.value.size())));
                    if (!result) throw PythonFailed{};
                    ++visits;
                    const int stop = PyObject_IsTrue(result.get());
                    if (stop < 0) throw PythonFailed{};
                    if (stop) throw Enough{};
                },
                stopping_progress(progress));
        } catch (const Enough &) {
        }
    });
    return done ? PyLong_FromUnsignedLongLong(visits) : nullptr;
}

// The shape of a new file: (bucket_chunk_size_exponent, bucket_chunk_number,
// size, chunk_size_exponent), checked as a constructor checks them.
bool shape_argument(PyObject *shape, MapArguments *out) {
    unsigned char bucket_exponent = 0, chunk_exponent = 0;
    PyObject *number_object = nullptr, *size_object = nullptr;
    if (!PyArg_ParseTuple(shape, "bO!O!b;a shape is (bucket_chunk_size_exponent, bucket_chunk_number, size, "
                                 "chunk_size_exponent)",
                          &bucket_exponent, &PyLong_Type, &number_object, &PyLong_Type, &size_object,
                          &chunk_exponent)) {
        return false;
    }
    // Checked conversions: a negative or oversized number is an OverflowError,
    // never a number wrapped around.
    const unsigned long long number = PyLong_AsUnsignedLongLong(number_object);
    if (PyErr_Occurred()) return false;
    const unsigned long long size = PyLong_AsUnsignedLongLong(size_object);
    if (PyErr_Occurred()) return false;
    *out = MapArguments{bucket_exponent, number, size, chunk_exponent};
    return call_core([&] { check_arguments(*out); });
}

// create(directory, shape) -> path: a new, empty dictionary file in
// `directory`, kept.
PyObject *upkeep_create(PyObject *, PyObject *args) {
    PyObject *encoded = nullptr, *shape = nullptr;
    if (!PyArg_ParseTuple(args, "O&O!", PyUnicode_FSConverter, &encoded, &PyTuple_Type, &shape)) return nullptr;
    const std::string directory = bytes_text(Ref::steal(encoded));
    MapArguments arguments{};
    if (!shape_argument(shape, &arguments)) return nullptr;
    std::string path;
    if (!call_core([&] { create_map(arguments, path, directory.c_str()); })) return nullptr;
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

// load(path, read, progress=None) -> entries: a raw dump read through
// read(n) -> bytes into the dictionary at `path`. A damaged stream raises
// ValueError after the entries before the damage are in.
PyObject *upkeep_load(PyObject *, PyObject *args) {
    PyObject *encoded = nullptr, *read = nullptr, *progress = nullptr;
    if (!PyArg_ParseTuple(args, "O&O|O", PyUnicode_FSConverter, &encoded, &read, &progress)) return nullptr;
    const std::string path = bytes_text(Ref::steal(encoded));
    const Progress told = stopping_progress(progress);
    std::uint64_t loaded = 0;
    const bool done = call_core([&] {
        auto source = [read](char *out, std::size_t room) -> std::size_t {
            const Ref chunk = Ref::steal(PyObject_CallFunction(read, "n", static_cast<Py_ssize_t>(room)));
            if (!chunk) throw PythonFailed{};
            char *bytes = nullptr;
            Py_ssize_t length = 0;
            if (PyBytes_AsStringAndSize(chunk.get(), &bytes, &length) != 0 ||
                static_cast<std::size_t>(length) > room) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "read(n) returned more than n bytes");
                throw PythonFailed{};
            }
            std::memcpy(out, bytes, static_cast<std::size_t>(length));
            return static_cast<std::size_t>(length);
        };
        DumpReader reader(source);
        std::unique_ptr<MapState> state = attach_map(path);
        MapState &m = *state;
        StoredEntry entry;
        try {
            while (reader.next(entry)) {
                try {
                    m.insert(entry.key.data(), entry.value.data(), entry.key.size(), entry.value.size(), entry.hash);
                } catch (const WaitAbandoned &) {
                    throw;  // the interpreter is exiting: left as it is
                } catch (const std::runtime_error &e) {
                    // A full segment or file system: say how far the load came.
                    throw std::runtime_error(std::string(e.what()) + "; the " +
                                             std::to_string(reader.entries() - 1) +
                                             " entries before it are loaded, nothing after them");
                }
                // Progress counts entries here; the total is not known.
                if (told && ++loaded % (std::uint64_t{1} << 16) == 0) told(loaded, 0);
            }
        } catch (const DumpStreamError &e) {
            loaded = reader.entries();
            throw std::invalid_argument(std::string(e.what()) + "; the " + std::to_string(loaded) +
                                        " entries before it are loaded, nothing after them");
        }
        loaded = reader.entries();
    });
    return done ? PyLong_FromUnsignedLongLong(loaded) : nullptr;
}

// dump_header(data) -> dict: the shape a raw dump's 48-byte header names.
PyObject *upkeep_dump_header(PyObject *, PyObject *args) {
    Py_buffer data;
    if (!PyArg_ParseTuple(args, "y*", &data)) return nullptr;
    DumpShape shape;
    const bool read = call_core([&] {
        std::size_t at = 0;
        DumpReader reader([&](char *out, std::size_t room) {
            const std::size_t n = std::min(room, static_cast<std::size_t>(data.len) - at);
            std::memcpy(out, static_cast<const char *>(data.buf) + at, n);
            at += n;
            return n;
        });
        shape = reader.shape();
    });
    PyBuffer_Release(&data);
    if (!read) return nullptr;
    return Py_BuildValue("{s:K,s:K,s:K,s:i}", "bucket_chunk_size", static_cast<unsigned long long>(shape.bucket_chunk_size),
                         "bucket_chunk_number", static_cast<unsigned long long>(shape.bucket_chunk_number), "size",
                         static_cast<unsigned long long>(shape.usable_size), "data_chunk_size",
                         static_cast<int>(shape.data_chunk_size));
}


// copy(source, target, progress=None) -> entries: every entry of the
// dictionary at `source`, as stored, into the one at `target`.
PyObject *upkeep_copy(PyObject *, PyObject *args) {
    PyObject *source_name = nullptr, *target_name = nullptr, *progress = nullptr;
    if (!PyArg_ParseTuple(args, "O&O&|O", PyUnicode_FSConverter, &source_name, PyUnicode_FSConverter, &target_name,
                          &progress)) {
        return nullptr;  // the converters released what they made
    }
    const std::string source = bytes_text(Ref::steal(source_name));
    const std::string target = bytes_text(Ref::steal(target_name));
    std::uint64_t copied = 0;
    if (!call_core([&] {
            std::unique_ptr<MapState> from = attach_map(source, Attach::inspect);
            std::unique_ptr<MapState> to = attach_map(target);
            copied = for_each_entry(
                *from,
                [&](const StoredEntry &entry) {
                    to->insert(entry.key.data(), entry.value.data(), entry.key.size(), entry.value.size(), entry.hash);
                },
                stopping_progress(progress));
        })) {
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(copied);
}

PyMethodDef upkeep_methods[] = {
    {"check", ZORVIK_METHOD(upkeep_check), METH_VARARGS | METH_KEYWORDS,
     "check(path, progress=None, live=False) -> dict\n\nChecks a dictionary's file from end to end, without taking "
     "its locks; `live` for a file that processes change meanwhile (each bucket judged on its own)."},
    {"repair", upkeep_repair, METH_VARARGS,
     "repair(path, progress=None) -> dict\n\nRepairs a dictionary's file that no process uses: frees its locks, finishes or undoes "
     "changes and expansions left in progress, recounts its entries and reclaims chunks nothing reaches."},
    {"_crash_after", upkeep_crash_after, METH_O,
     "_crash_after(steps)\n\nFor the fault tests: in a child made by fork, before its first operation, arms every "
     "dictionary's crash points; the process kills itself at the given one (0 disarms)."},
    {"survey", upkeep_survey, METH_VARARGS, "survey(path, progress=None) -> dict: the shape, check and space use."},
    {"locks", upkeep_locks, METH_VARARGS, "locks(path, progress=None) -> [(name, pid, holder)]: the held locks."},
    {"holders", upkeep_holders, METH_VARARGS, "holders(path) -> [pid]: the processes holding the file open."},
    {"dump", upkeep_dump, METH_VARARGS, "dump(path, write, progress=None) -> entries: the raw dump."},
    {"entries", upkeep_entries, METH_VARARGS, "entries(path, visit, progress=None) -> visits."},
    {"create", upkeep_create, METH_VARARGS, "create(directory, shape) -> path: a new empty dictionary file."},
    {"load", upkeep_load, METH_VARARGS, "load(path, read, progress=None) -> entries: loads a raw dump."},
    {"copy", upkeep_copy, METH_VARARGS, "copy(source, target, progress=None) -> entries: entries as stored."},
    {"dump_header", upkeep_dump_header, METH_VARARGS, "dump_header(data) -> dict: a raw dump header's shape."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef upkeep_module = {
    PyModuleDef_HEAD_INIT, "zorvik._upkeep", "Checks and offline repairs of dictionary files.", -1, upkeep_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace zorvik::binding

PyMODINIT_FUNC PyInit__upkeep() { return PyModule_Create(&zorvik::binding::upkeep_module); }
