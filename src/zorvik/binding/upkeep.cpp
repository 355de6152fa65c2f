// zorvik._upkeep: looking after a dictionary's file when no process uses it:
// the check and the offline repair behind `python -m zorvik`. (It links a
// core of its own; the dictionaries of zorvik.brandel run on that module's.)
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "zorvik/binding/errors.hpp"
#include "zorvik/core/map/offline_repair.hpp"
#include "zorvik/core/segment/crash_points.hpp"

namespace zorvik::binding {
namespace {

PyObject *string_list(const std::vector<std::string> &lines) {
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(lines.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        PyObject *line = PyUnicode_DecodeUTF8(lines[i].data(), static_cast<Py_ssize_t>(lines[i].size()), "replace");
        if (line == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), line);
    }
    return list;
}

PyObject *check_dict(const MapCheck &check) {
    PyObject *faults = string_list(check.faults);
    PyObject *held = faults == nullptr ? nullptr : string_list(check.held_locks);
    PyObject *dict = held == nullptr ? nullptr
                                     : Py_BuildValue("{s:N,s:K,s:K,s:N,s:K,s:K,s:K,s:O,s:K,s:O}",
                                                     "faults", faults, "entries",
                                                     static_cast<unsigned long long>(check.entries), "entry_count",
                                                     static_cast<unsigned long long>(check.entry_count), "held_locks",
                                                     held, "pending_intents",
                                                     static_cast<unsigned long long>(check.pending_intents),
                                                     "marked_buckets",
                                                     static_cast<unsigned long long>(check.marked_buckets),
                                                     "expansion_workers",
                                                     static_cast<unsigned long long>(check.expansion_workers),
                                                     "expansion_in_progress",
                                                     check.expansion_in_progress ? Py_True : Py_False,
                                                     "chunks_reached",
                                                     static_cast<unsigned long long>(check.chunks_reached), "clean",
                                                     check.clean() ? Py_True : Py_False);
    if (dict == nullptr && held == nullptr) Py_XDECREF(faults);
    return dict;
}

// The path argument: str or bytes (or any path-like), as os.fsencode takes it.
bool path_argument(PyObject *args, std::string *path) {
    PyObject *encoded = nullptr;
    if (!PyArg_ParseTuple(args, "O&", PyUnicode_FSConverter, &encoded)) return false;
    path->assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);
    if (path->find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return false;
    }
    return true;
}

PyObject *upkeep_check(PyObject *, PyObject *args) {
    std::string path;
    if (!path_argument(args, &path)) return nullptr;
    MapCheck check;
    if (!call_core([&] { check = check_map_file(path); })) return nullptr;
    return check_dict(check);
}

PyObject *upkeep_repair(PyObject *, PyObject *args) {
    std::string path;
    if (!path_argument(args, &path)) return nullptr;
    RepairReport report;
    if (!call_core([&] { report = repair_map_file(path); })) return nullptr;
    PyObject *before = check_dict(report.before);
    PyObject *after = before == nullptr ? nullptr : check_dict(report.after);
    PyObject *done = after == nullptr ? nullptr : string_list(report.done);
    if (done == nullptr) {
        Py_XDECREF(before);
        Py_XDECREF(after);
        return nullptr;
    }
    return Py_BuildValue("{s:N,s:N,s:N,s:K}", "before", before, "after", after, "done", done, "reclaimed_chunks",
                         static_cast<unsigned long long>(report.reclaimed_chunks));
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

PyMethodDef upkeep_methods[] = {
    {"check", upkeep_check, METH_VARARGS,
     "check(path) -> dict\n\nChecks a dictionary's file from end to end, without taking its locks: for a file no "
     "process is changing."},
    {"repair", upkeep_repair, METH_VARARGS,
     "repair(path) -> dict\n\nRepairs a dictionary's file that no process uses: frees its locks, finishes or undoes "
     "changes and expansions left in progress, recounts its entries and reclaims chunks nothing reaches."},
    {"_crash_after", upkeep_crash_after, METH_O,
     "_crash_after(steps)\n\nFor the fault tests: in a child made by fork, before its first operation, arms every "
     "dictionary's crash points; the process kills itself at the given one (0 disarms)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef upkeep_module = {
    PyModuleDef_HEAD_INIT, "zorvik._upkeep", "Checks and offline repairs of dictionary files.", -1, upkeep_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace zorvik::binding

PyMODINIT_FUNC PyInit__upkeep() { return PyModule_Create(&zorvik::binding::upkeep_module); }
