// SharedDict as a cache: the options that make a file one (bounds, eviction
// policy, default TTL), the check that an opener's options match the file's,
// and the per-key expiry methods. The rules themselves live in the file and
// the core (core/map/cache.hpp): every process that opens the file obeys
// them, whatever options it was given.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string_view>

#include "zorvik/binding/args.hpp"
#include "zorvik/binding/errors.hpp"
#include "zorvik/shared/shared_dict.hpp"

namespace zorvik::shared {
namespace {

using binding::call_core;
using binding::Request;
using binding::run_on_key;
using binding::signed_data;

constexpr const char *kPolicyNames[] = {nullptr, "lru", "lfu", "random", "ttl"};

const char *policy_name(CacheSettings::Policy policy) { return kPolicyNames[static_cast<int>(policy)]; }

// A bound as Python sees it: None for none (0 in the file).
PyObject *bound(std::uint64_t value) { return value == 0 ? Py_NewRef(Py_None) : PyLong_FromUnsignedLongLong(value); }

// A bound given as an int of at least 1. 0 or -1.
int read_bound(PyObject *object, const char *name, std::uint64_t &out) {
    if (!PyLong_Check(object) || PyBool_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int or None, not %.200s", name, Py_TYPE(object)->tp_name);
        return -1;
    }
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s must be between 1 and 2**47 - 1", name);
        return -1;
    }
    if (value < 1 || static_cast<std::uint64_t>(value) >= (std::uint64_t{1} << 47)) {
        PyErr_Format(PyExc_ValueError, "%s must be between 1 and 2**47 - 1", name);
        return -1;
    }
    out = static_cast<std::uint64_t>(value);
    return 0;
}

PyObject *seconds_of(std::uint64_t ms) { return PyFloat_FromDouble(static_cast<double>(ms) / 1000.0); }

// ---- expiry of one key ---------------------------------------------------------------

// The key's entry and, under pickle, the one of its pickled form (the bytes an
// earlier version stored it by): an operation on "the key" looks at both.
template <class OnForm>
int on_each_form(PyObject *self, PyObject *key, OnForm &&on_form) {
    Request request;
    return run_on_key(shared_parts(self), key, nullptr, request, [&](ConcurrentHashMap_string &map) {
        if (on_form(map, request.key(), request.hash)) return;
        if (request.pickled_key_bytes) on_form(map, request.pickled_key(), request.hash);
    });
}

const char *const set_parameters[] = {"key", "value", "ttl"};
const binding::Signature set_signature{"set", set_parameters, 3, 2};

PyObject *set_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[3];
    if (binding::bind_arguments(set_signature, args, nargs, kwnames, values) < 0) return nullptr;
    std::optional<std::uint64_t> ttl;
    if (values[2] != nullptr && values[2] != Py_None && ttl_from_seconds(values[2], "ttl", ttl) < 0) return nullptr;
    Request request;
    if (run_on_key(shared_parts(self), values[0], values[1], request, [&](ConcurrentHashMap_string &map) {
            map.insert_with_ttl(request.key(), request.value(), request.hash, ttl);
            // The key's pickled form goes: the key has one entry, this one.
            if (request.pickled_key_bytes) {
                map.remove(signed_data(request.pickled_key()), request.pickled_key().size(), request.hash);
            }
        }) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *ttl_method(PyObject *self, PyObject *key) {
    std::optional<std::uint64_t> left;
    bool found = false;
    if (on_each_form(self, key, [&](ConcurrentHashMap_string &map, std::string_view bytes, std::int64_t hash) {
            found = map.ttl_left(bytes, hash, left);
            return found;
        }) < 0) {
        return nullptr;
    }
    if (!found) {
        const Ref arguments = Ref::steal(PyTuple_Pack(1, key));
        if (arguments) PyErr_SetObject(PyExc_KeyError, arguments.get());
        return nullptr;
    }
    if (!left) Py_RETURN_NONE;
    return seconds_of(*left);
}

const char *const expire_parameters[] = {"key", "ttl"};
const binding::Signature expire_signature{"expire", expire_parameters, 2, 2};

PyObject *expire_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *values[2];
    if (binding::bind_arguments(expire_signature, args, nargs, kwnames, values) < 0) return nullptr;
    std::optional<std::uint64_t> ttl;
    if (values[1] != Py_None && ttl_from_seconds(values[1], "ttl", ttl) < 0) return nullptr;
    bool found = false;
    if (on_each_form(self, values[0], [&](ConcurrentHashMap_string &map, std::string_view bytes, std::int64_t hash) {
            found = map.expire(bytes, hash, ttl);
            return found;
        }) < 0) {
        return nullptr;
    }
    return PyBool_FromLong(found);
}

PyObject *touch_method(PyObject *self, PyObject *key) {
    bool found = false;
    if (on_each_form(self, key, [&](ConcurrentHashMap_string &map, std::string_view bytes, std::int64_t hash) {
            found = map.touch(bytes, hash);
            return found;
        }) < 0) {
        return nullptr;
    }
    return PyBool_FromLong(found);
}

PyObject *cache_settings_method(PyObject *self, PyObject *) {
    MapPointer map = map_of(as_shared(self));
    if (!map) return nullptr;
    std::optional<CacheSettings> settings;
    if (!call_core([&] { settings = map->cache_settings(); })) return nullptr;
    if (!settings) Py_RETURN_NONE;
    const Ref max_entries = Ref::steal(bound(settings->max_entries));
    const Ref max_bytes = Ref::steal(bound(settings->max_bytes));
    const Ref default_ttl =
        Ref::steal(settings->default_ttl_ms == 0 ? Py_NewRef(Py_None) : seconds_of(settings->default_ttl_ms));
    if (!max_entries || !max_bytes || !default_ttl) return nullptr;
    return Py_BuildValue("{sOsOsssO}", "max_entries", max_entries.get(), "max_bytes", max_bytes.get(), "eviction",
                         policy_name(settings->policy), "default_ttl", default_ttl.get());
}

}  // namespace

int ttl_from_seconds(PyObject *object, const char *name, std::optional<std::uint64_t> &ms) {
    if (PyBool_Check(object) || (!PyLong_Check(object) && !PyFloat_Check(object))) {
        PyErr_Format(PyExc_TypeError, "%s must be a number of seconds or None, not %.200s", name,
                     Py_TYPE(object)->tp_name);
        return -1;
    }
    const double seconds = PyFloat_AsDouble(object);
    if (seconds == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s must be above 0 and at most 100 years", name);
        return -1;
    }
    const double most = static_cast<double>(kMostTtlMs) / 1000.0;
    if (!(seconds > 0.0) || !(seconds <= most)) {
        PyErr_Format(PyExc_ValueError, "%s must be above 0 and at most 100 years", name);
        return -1;
    }
    // Deadlines are whole milliseconds: a TTL below one still expires.
    ms = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::ceil(seconds * 1000.0)));
    return 0;
}

Ref cache_stats_dict(const CacheStats &counts, const CacheSettings &rules) {
    const Ref max_entries = Ref::steal(bound(rules.max_entries));
    const Ref max_bytes = Ref::steal(bound(rules.max_bytes));
    if (!max_entries || !max_bytes) return Ref();
    return Ref::steal(Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K,s:O,s:O}", "hits",
                                    static_cast<unsigned long long>(counts.hits), "misses",
                                    static_cast<unsigned long long>(counts.misses), "sets",
                                    static_cast<unsigned long long>(counts.sets), "evictions",
                                    static_cast<unsigned long long>(counts.evictions), "expirations",
                                    static_cast<unsigned long long>(counts.expirations), "entry_bytes",
                                    static_cast<unsigned long long>(counts.bytes), "max_entries", max_entries.get(),
                                    "max_bytes", max_bytes.get()));
}

int read_cache_options(PyObject *max_entries, PyObject *max_bytes, PyObject *eviction, PyObject *default_ttl,
                       CacheOptions &options) {
    options = CacheOptions{};
    if (max_entries != nullptr && max_entries != Py_None) {
        if (read_bound(max_entries, "max_entries", options.settings.max_entries) < 0) return -1;
        options.max_entries = true;
    }
    if (max_bytes != nullptr && max_bytes != Py_None) {
        if (read_bound(max_bytes, "max_bytes", options.settings.max_bytes) < 0) return -1;
        options.max_bytes = true;
    }
    if (eviction != nullptr && eviction != Py_None) {
        if (!PyUnicode_Check(eviction)) {
            PyErr_Format(PyExc_TypeError, "eviction must be a str or None, not %.200s", Py_TYPE(eviction)->tp_name);
            return -1;
        }
        bool known = false;
        for (int policy = 1; policy <= 4; ++policy) {
            if (PyUnicode_CompareWithASCIIString(eviction, kPolicyNames[policy]) == 0) {
                options.settings.policy = static_cast<CacheSettings::Policy>(policy);
                known = true;
            }
        }
        if (!known) {
            PyErr_Format(PyExc_ValueError, "eviction must be 'lru', 'lfu', 'random' or 'ttl', not %R", eviction);
            return -1;
        }
        options.eviction = true;
    }
    if (default_ttl != nullptr && default_ttl != Py_None) {
        std::optional<std::uint64_t> ms;
        if (ttl_from_seconds(default_ttl, "default_ttl", ms) < 0) return -1;
        options.settings.default_ttl_ms = *ms;
        options.default_ttl = true;
    }
    return 0;
}

int check_cache_options(const ConcurrentHashMap_string &map, const CacheOptions &options, PyObject *path) {
    if (!options.given()) return 0;
    std::optional<CacheSettings> settings;
    if (!call_core([&] { settings = map.cache_settings(); })) return -1;
    if (!settings) {
        PyErr_Format(PyExc_ValueError,
                     "%R is a plain dictionary, not a cache: it cannot be opened with max_entries, max_bytes, "
                     "eviction or default_ttl (make the cache in a new file)",
                     path);
        return -1;
    }
    const CacheSettings &file = *settings;
    const CacheSettings &wanted = options.settings;
    auto bound = [](std::uint64_t value) {
        return value == 0 ? Ref::borrow(Py_None) : Ref::steal(PyLong_FromUnsignedLongLong(value));
    };
    auto seconds = [](std::uint64_t ms) { return ms == 0 ? Ref::borrow(Py_None) : Ref::steal(seconds_of(ms)); };
    auto refuse = [&](const char *name, const Ref &made, const Ref &asked) {
        if (!made || !asked) return -1;
        PyErr_Format(PyExc_ValueError, "%R was made with %s=%R; it cannot be opened with %s=%R", path, name,
                     made.get(), name, asked.get());
        return -1;
    };
    if (options.max_entries && file.max_entries != wanted.max_entries) {
        return refuse("max_entries", bound(file.max_entries), bound(wanted.max_entries));
    }
    if (options.max_bytes && file.max_bytes != wanted.max_bytes) {
        return refuse("max_bytes", bound(file.max_bytes), bound(wanted.max_bytes));
    }
    if (options.eviction && file.policy != wanted.policy) {
        return refuse("eviction", Ref::steal(PyUnicode_FromString(policy_name(file.policy))),
                      Ref::steal(PyUnicode_FromString(policy_name(wanted.policy))));
    }
    if (options.default_ttl && file.default_ttl_ms != wanted.default_ttl_ms) {
        return refuse("default_ttl", seconds(file.default_ttl_ms), seconds(wanted.default_ttl_ms));
    }
    return 0;
}

PyMethodDef cache_methods[] = {
    {"set", ZORVIK_METHOD(set_method), METH_FASTCALL | METH_KEYWORDS,
     "set(key, value, ttl=None) -> None\n\nd[key] = value, with a time to live: in a cache, the entry expires "
     "ttl seconds from now (None: the cache's default_ttl, or never without one). Expired entries are absent "
     "to every read in every process. ValueError with a ttl on a dictionary that is not a cache."},
    {"ttl", ZORVIK_METHOD(ttl_method), METH_O,
     "ttl(key, /) -> float | None\n\nSeconds key has left before it expires; None when it never expires. "
     "KeyError when key is absent (or expired)."},
    {"expire", ZORVIK_METHOD(expire_method), METH_FASTCALL | METH_KEYWORDS,
     "expire(key, ttl) -> bool\n\nGives key a new time to live of ttl seconds from now (None: never expires). "
     "False when key is absent."},
    {"touch", ZORVIK_METHOD(touch_method), METH_O,
     "touch(key, /) -> bool\n\nMarks key as used now, for the eviction policy, without reading its value. "
     "False when key is absent."},
    {"cache_settings", cache_settings_method, METH_NOARGS,
     "cache_settings() -> dict | None\n\nThe cache's rules as its file keeps them (max_entries, max_bytes, "
     "eviction, default_ttl; None for no bound or no default TTL), or None for a plain dictionary."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zorvik::shared
