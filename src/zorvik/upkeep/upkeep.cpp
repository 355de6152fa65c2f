// zorvik._upkeep: the operator's view of a dictionary's file, behind
// zorvik.tools and `python -m zorvik`: its check and offline repair, its
// shape and space, its held locks, and its entries as stored (dump, load).
// Everything works on the file format, through the core, never through a
// serializer or a hash function, so that every dictionary class's files are
// served alike. Includes the core's public headers alone.
//
// Long walks call a Python `progress(done, total)` now and then. An exception
// it raises (Ctrl-C in a terminal) stops a read-only walk at once; a repair
// runs to its end first, since stopping it half way would leave more to
// repair, and raises it then.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "zorvik/binding/args.hpp"
#include "zorvik/binding/convert.hpp"
#include "zorvik/binding/errors.hpp"
#include "zorvik/capi/ref.hpp"
#include "zorvik/core/map/concurrent_hash_map.hpp"
#include "zorvik/core/upkeep/upkeep.hpp"

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
        "{s:O,s:K,s:K,s:K,s:K,s:O,s:K,s:K,s:K,s:O,s:s,s:O,s:K,s:K,s:K,s:O,s:O}", "faults", faults.get(), "entries",
        static_cast<unsigned long long>(check.entries), "entry_count", static_cast<unsigned long long>(check.entry_count),
        "entry_bytes", static_cast<unsigned long long>(check.entry_bytes), "entry_bytes_count",
        static_cast<unsigned long long>(check.entry_bytes_count),
        "held_locks", held.get(), "pending_intents", static_cast<unsigned long long>(check.pending_intents),
        "marked_buckets", static_cast<unsigned long long>(check.marked_buckets), "expansion_workers",
        static_cast<unsigned long long>(check.expansion_workers), "expansion_in_progress",
        check.expansion_in_progress ? Py_True : Py_False, "doubling", check.doubling.c_str(), "doubling_goes_on",
        check.doubling_goes_on ? Py_True : Py_False, "chunks_reached",
        static_cast<unsigned long long>(check.chunks_reached), "unnamed_blocks",
        static_cast<unsigned long long>(check.unnamed_blocks), "unnamed_bytes",
        static_cast<unsigned long long>(check.unnamed_bytes), "repair_marked", check.repair_marked ? Py_True : Py_False,
        "clean", check.clean() ? Py_True : Py_False));
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
    return Py_BuildValue("{s:O,s:O,s:O,s:K,s:K}", "before", before.get(), "after", after.get(), "done", done.get(),
                         "reclaimed_chunks", static_cast<unsigned long long>(report.reclaimed_chunks),
                         "reclaimed_bytes", static_cast<unsigned long long>(report.reclaimed_bytes));
}

// _crash_after(steps, signal=SIGKILL): for the fault tests. Call it in a
// child made by fork before the child's first operation: every dictionary in
// the child (the modules share one core) kills the process (SIGKILL) at the
// given crash point of the changes it makes from then on, or stops it there
// (SIGSTOP) until it is continued; 0 disarms.
PyObject *upkeep_crash_after(PyObject *, PyObject *args) {
    PyObject *steps_object = nullptr;
    int signal = SIGKILL;
    if (!PyArg_ParseTuple(args, "O|i", &steps_object, &signal)) return nullptr;
    const unsigned long long steps = PyLong_AsUnsignedLongLong(steps_object);  // refuses a negative count
    if (steps == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    if (signal != SIGKILL && signal != SIGSTOP) {
        PyErr_SetString(PyExc_ValueError, "the signal is SIGKILL or SIGSTOP");
        return nullptr;
    }
    arm_crash_points(steps, signal);
    Py_RETURN_NONE;
}

Ref space_dict(const SpaceUse &use) {
    return Ref::steal(Py_BuildValue(
        "{s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K}", "capacity", static_cast<unsigned long long>(use.capacity), "allocated",
        static_cast<unsigned long long>(use.allocated), "in_use", static_cast<unsigned long long>(use.in_use),
        "free_listed", static_cast<unsigned long long>(use.free_listed), "free_entry_chunks",
        static_cast<unsigned long long>(use.free_chunks[0]), "free_link_chunks",
        static_cast<unsigned long long>(use.free_chunks[1]), "free_data_chunks",
        static_cast<unsigned long long>(use.free_chunks[2]), "unreachable",
        static_cast<unsigned long long>(use.unreachable), "reclaimable",
        static_cast<unsigned long long>(use.reclaimable)));
}

// A cache's rules and counts as numbers (tools.stat names them), None for
// a plain map.
Ref cache_dict(const MapSurvey &survey) {
    if (!survey.cache_settings) return Ref::borrow(Py_None);
    const CacheSettings &rules = *survey.cache_settings;
    const CacheStats &counts = survey.cache_stats;
    return Ref::steal(Py_BuildValue(
        "{s:i,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K}", "policy", static_cast<int>(rules.policy), "max_entries",
        static_cast<unsigned long long>(rules.max_entries), "max_bytes",
        static_cast<unsigned long long>(rules.max_bytes), "default_ttl_ms",
        static_cast<unsigned long long>(rules.default_ttl_ms), "hits", static_cast<unsigned long long>(counts.hits),
        "misses", static_cast<unsigned long long>(counts.misses), "sets", static_cast<unsigned long long>(counts.sets),
        "evictions", static_cast<unsigned long long>(counts.evictions), "expirations",
        static_cast<unsigned long long>(counts.expirations), "entry_bytes",
        static_cast<unsigned long long>(counts.bytes)));
}

// survey(path, progress=None) -> dict: the shape, the check and the space.
PyObject *upkeep_survey(PyObject *, PyObject *args) {
    std::string path;
    PyObject *progress = nullptr;
    if (!path_and_progress(args, &path, &progress)) return nullptr;
    MapSurvey survey;
    if (!call_core([&] { survey = survey_map_file(path, stopping_progress(progress)); })) return nullptr;
    const Ref checked = check_dict(survey.check);
    if (!checked) return nullptr;
    const Ref used = space_dict(survey.space);
    if (!used) return nullptr;
    const Ref cache = cache_dict(survey);
    if (!cache) return nullptr;
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:i,s:O,s:O,s:O}", "bucket_chunk_size",
                         static_cast<unsigned long long>(survey.bucket_chunk_size), "bucket_chunk_number",
                         static_cast<unsigned long long>(survey.bucket_chunk_number), "chunks_in_use",
                         static_cast<unsigned long long>(survey.chunks_in_use), "reachable_chunks",
                         static_cast<unsigned long long>(survey.reachable_chunks), "data_chunk_size",
                         static_cast<int>(survey.data_chunk_size), "check", checked.get(), "space", used.get(),
                         "cache", cache.get());
}

// locks(path, progress=None) -> [(name, pid, "alive" | "ended" | "unnamed")]
PyObject *upkeep_locks(PyObject *, PyObject *args) {
    std::string path;
    PyObject *progress = nullptr;
    if (!path_and_progress(args, &path, &progress)) return nullptr;
    std::vector<HeldLock> held;
    if (!call_core([&] { held = held_locks_in_map_file(path, stopping_progress(progress)); })) return nullptr;
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
    std::vector<int> pids;
    if (!call_core([&] { pids = processes_holding_map_file(path); })) return nullptr;
    return pid_list(pids).release();
}

// refuse_writers(path) -> [pid]: the refusal a repair would meet
// (RuntimeError with the holders' `pids`) while processes that may write the
// file hold it; else the holders that only read it, which a repair works
// beside.
PyObject *upkeep_refuse_writers(PyObject *, PyObject *args) {
    std::string path;
    PyObject *progress = nullptr;
    if (!path_and_progress(args, &path, &progress)) return nullptr;
    std::vector<int> readers;
    if (!call_core([&] { readers = refuse_writers(path); })) return nullptr;
    return pid_list(readers).release();
}

// dump(path, write, progress=None) -> entries: the raw dump, written through
// write(bytes) in pieces of about a mebibyte.
PyObject *upkeep_dump(PyObject *, PyObject *args) {
    PyObject *encoded = nullptr, *write = nullptr, *progress = nullptr;
    if (!PyArg_ParseTuple(args, "O&O|O", PyUnicode_FSConverter, &encoded, &write, &progress)) return nullptr;
    const std::string path = bytes_text(Ref::steal(encoded));
    std::uint64_t entries = 0;
    if (!call_core([&] {
            entries = dump_map_file(
                path,
                [write](const char *bytes, std::size_t length) {
                    const Ref result =
                        Ref::steal(PyObject_CallFunction(write, "y#", bytes, static_cast<Py_ssize_t>(length)));
                    if (!result) throw PythonFailed{};
                },
                stopping_progress(progress));
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
    std::uint64_t visits = 0;
    const bool done = call_core([&] {
        visits = visit_map_file(
            path,
            [&](const StoredEntry &entry) {
                const Ref result = Ref::steal(PyObject_CallFunction(
                    visit, "Ly#y#", static_cast<long long>(entry.hash), entry.key.data(),
                    static_cast<Py_ssize_t>(entry.key.size()), entry.value.data(),
                    static_cast<Py_ssize_t>(entry.value.size())));
                if (!result) throw PythonFailed{};
                const int stop = PyObject_IsTrue(result.get());
                if (stop < 0) throw PythonFailed{};
                return stop != 0;
            },
            stopping_progress(progress));
    });
    return done ? PyLong_FromUnsignedLongLong(visits) : nullptr;
}

// The shape of a new file: (bucket_chunk_size_exponent, bucket_chunk_number,
// size, chunk_size_exponent).
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
    return true;
}

// A cache's rules given as (policy, max_entries, max_bytes, default_ttl_ms),
// the numbers a dump's header and a survey name them by.
bool rules_argument(PyObject *rules, std::optional<CacheSettings> *out) {
    unsigned char policy = 0;
    unsigned long long max_entries = 0, max_bytes = 0, default_ttl_ms = 0;
    if (!PyArg_ParseTuple(rules, "bKKK;a cache's rules are (policy, max_entries, max_bytes, default_ttl_ms)", &policy,
                          &max_entries, &max_bytes, &default_ttl_ms)) {
        return false;
    }
    *out = CacheSettings{static_cast<CacheSettings::Policy>(policy), max_entries, max_bytes, default_ttl_ms};
    return true;
}

// create(directory, shape, rules=None) -> path: a new, empty dictionary file
// in `directory`, kept; a cache with `rules` (as rules_argument reads them).
PyObject *upkeep_create(PyObject *, PyObject *args) {
    PyObject *encoded = nullptr, *shape = nullptr, *rules = Py_None;
    if (!PyArg_ParseTuple(args, "O&O!|O", PyUnicode_FSConverter, &encoded, &PyTuple_Type, &shape, &rules)) {
        return nullptr;
    }
    const std::string directory = bytes_text(Ref::steal(encoded));
    MapArguments arguments{};
    if (!shape_argument(shape, &arguments)) return nullptr;
    if (rules != Py_None) {
        if (!PyTuple_Check(rules)) {
            PyErr_SetString(PyExc_TypeError, "a cache's rules are a tuple or None");
            return nullptr;
        }
        if (!rules_argument(rules, &arguments.cache)) return nullptr;
    }
    std::string path;
    if (!call_core([&] { path = create_map_file(directory, arguments); })) return nullptr;
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

// load(path, read, progress=None) -> entries: a raw dump read through
// read(n) -> bytes into the dictionary at `path`. A damaged stream raises
// ValueError after the entries before the damage are in.
PyObject *upkeep_load(PyObject *, PyObject *args) {
    PyObject *encoded = nullptr, *read = nullptr, *progress = nullptr;
    if (!PyArg_ParseTuple(args, "O&O|O", PyUnicode_FSConverter, &encoded, &read, &progress)) return nullptr;
    const std::string path = bytes_text(Ref::steal(encoded));
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
        loaded = load_map_file(path, source, stopping_progress(progress));
    });
    return done ? PyLong_FromUnsignedLongLong(loaded) : nullptr;
}

// dump_header(data) -> dict: the shape a raw dump's 48-byte header names and,
// for a cache's dump, its rules under "cache" (as a tuple create takes; None
// for a plain dictionary's), from the 36 bytes after the header.
PyObject *upkeep_dump_header(PyObject *, PyObject *args) {
    Py_buffer data;
    if (!PyArg_ParseTuple(args, "y*", &data)) return nullptr;
    DumpShape shape;
    const bool read = call_core([&] {
        std::size_t at = 0;
        try {
            shape = read_dump_shape([&](char *out, std::size_t room) {
                const std::size_t n = std::min(room, static_cast<std::size_t>(data.len) - at);
                std::memcpy(out, static_cast<const char *>(data.buf) + at, n);
                at += n;
                return n;
            });
        } catch (const std::runtime_error &e) {
            // What is not a dump's header (read_dump_shape's one failure) is a
            // bad value, as a load says of a damaged stream.
            throw std::invalid_argument(e.what());
        }
    });
    PyBuffer_Release(&data);
    if (!read) return nullptr;
    Ref rules = Ref::borrow(Py_None);
    if (shape.cache) {
        const CacheSettings &cache = *shape.cache;
        rules = Ref::steal(Py_BuildValue("(iKKK)", static_cast<int>(cache.policy),
                                         static_cast<unsigned long long>(cache.max_entries),
                                         static_cast<unsigned long long>(cache.max_bytes),
                                         static_cast<unsigned long long>(cache.default_ttl_ms)));
        if (!rules) return nullptr;
    }
    return Py_BuildValue("{s:K,s:K,s:K,s:i,s:O}", "bucket_chunk_size",
                         static_cast<unsigned long long>(shape.bucket_chunk_size), "bucket_chunk_number",
                         static_cast<unsigned long long>(shape.bucket_chunk_number), "size",
                         static_cast<unsigned long long>(shape.usable_size), "data_chunk_size",
                         static_cast<int>(shape.data_chunk_size), "cache", rules.get());
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
    if (!call_core([&] { copied = copy_map_file(source, target, stopping_progress(progress)); })) {
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(copied);
}

// defaults() -> dict: the core's defaults of a new file's shape, in the
// constructor's numbers ("shape", as a new file without a shape of its own
// gets them) and in SharedDict's terms, and the load rule.
PyObject *upkeep_defaults(PyObject *, PyObject *) {
    return Py_BuildValue("{s:{s:i,s:K,s:K,s:i},s:K,s:K,s:K,s:i,s:i}", "shape", "bucket_chunk_size_exponent",
                         static_cast<int>(kDefaultArguments.bucket_chunk_size_exponent), "bucket_chunk_number",
                         static_cast<unsigned long long>(kDefaultArguments.bucket_chunk_number), "size",
                         static_cast<unsigned long long>(kDefaultArguments.size), "chunk_size_exponent",
                         static_cast<int>(kDefaultArguments.string_chunk_size_exponent), "load_rule",
                         static_cast<unsigned long long>(kDoublingLoad), "capacity",
                         static_cast<unsigned long long>(kDefaultCapacity), "initial_buckets",
                         static_cast<unsigned long long>(kDefaultInitialBuckets), "doublings",
                         static_cast<int>(kDefaultDoublings), "chunk_size_exponent",
                         static_cast<int>(kDefaultChunkSizeExponent));
}

PyMethodDef upkeep_methods[] = {
    {"check", ZORVIK_METHOD(upkeep_check), METH_VARARGS | METH_KEYWORDS,
     "check(path, progress=None, live=False) -> dict\n\nChecks a dictionary's file from end to end, without taking "
     "its locks; `live` for a file that processes change meanwhile (each bucket judged on its own)."},
    {"repair", upkeep_repair, METH_VARARGS,
     "repair(path, progress=None) -> dict\n\nRepairs a dictionary's file that no process uses: frees its locks, finishes or undoes "
     "changes and expansions left in progress, recounts its entries and reclaims chunks nothing reaches."},
    {"_crash_after", upkeep_crash_after, METH_VARARGS,
     "_crash_after(steps, signal=SIGKILL)\n\nFor the fault tests: in a child made by fork, before its first operation, "
     "arms every dictionary's crash points; the process kills itself at the given one, or stops there with SIGSTOP "
     "(0 disarms)."},
    {"survey", upkeep_survey, METH_VARARGS, "survey(path, progress=None) -> dict: the shape, check and space use."},
    {"locks", upkeep_locks, METH_VARARGS, "locks(path, progress=None) -> [(name, pid, holder)]: the held locks."},
    {"holders", upkeep_holders, METH_VARARGS, "holders(path) -> [pid]: the processes holding the file open."},
    {"refuse_writers", upkeep_refuse_writers, METH_VARARGS,
     "refuse_writers(path) -> [pid]: raises a repair's refusal (RuntimeError with `pids`) while processes that may "
     "write the file hold it; else the holders that only read it."},
    {"dump", upkeep_dump, METH_VARARGS, "dump(path, write, progress=None) -> entries: the raw dump."},
    {"entries", upkeep_entries, METH_VARARGS, "entries(path, visit, progress=None) -> visits."},
    {"create", upkeep_create, METH_VARARGS, "create(directory, shape, rules=None) -> path: a new empty dictionary file (a cache with rules)."},
    {"load", upkeep_load, METH_VARARGS, "load(path, read, progress=None) -> entries: loads a raw dump."},
    {"copy", upkeep_copy, METH_VARARGS, "copy(source, target, progress=None) -> entries: entries as stored."},
    {"dump_header", upkeep_dump_header, METH_VARARGS, "dump_header(data) -> dict: a raw dump header's shape and a cache's rules."},
    {"defaults", upkeep_defaults, METH_NOARGS, "defaults() -> dict: the defaults of a new file's shape, and the load rule."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef upkeep_module = {
    PyModuleDef_HEAD_INIT, "zorvik._upkeep", "Checks and offline repairs of dictionary files.", -1, upkeep_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace zorvik::binding

PyMODINIT_FUNC PyInit__upkeep() { return PyModule_Create(&zorvik::binding::upkeep_module); }
