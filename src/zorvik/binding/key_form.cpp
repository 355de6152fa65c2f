// The key form's two steps: a walk that tells whether pickle's bytes for a key
// may differ from its key form (an object met twice, a frozenset of several
// elements) and whether the key is one the form knows; and, for a key whose
// bytes may differ, a writer of its key form. The writer follows what
// CPython's C pickler does at protocol 5 for these types, opcode for opcode,
// and frames the result as it does; a test holds the two side by side.
#include "zorvik/binding/key_form.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace zorvik::binding {
namespace {

using capi::Ref;

// ---- the walk -------------------------------------------------------------------------

// Memoizable objects a key holds before the walk keeps them on the heap:
// a tuple key of a few strings needs no allocation.
constexpr std::size_t kInlineObjects = 16;

// What pickle remembers of a key (its str and bytes objects, its non-empty
// tuples and its frozensets), by address.
class MemoizedObjects {
public:
    void add(PyObject *object) {
        if (count_ < inline_.size()) {
            inline_[count_++] = object;
            return;
        }
        if (heap_.empty()) heap_.assign(inline_.begin(), inline_.end());
        heap_.push_back(object);  // may throw std::bad_alloc
        ++count_;
    }

    // True when one object was added twice: pickle would write it the second
    // time as a back-reference.
    bool has_repeats() {
        PyObject **first = heap_.empty() ? inline_.data() : heap_.data();
        PyObject **last = first + count_;
        std::sort(first, last);
        return std::adjacent_find(first, last) != last;
    }

private:
    std::array<PyObject *, kInlineObjects> inline_{};
    std::vector<PyObject *> heap_;
    std::size_t count_ = 0;
};

class KeyWalk {
public:
    // 1 when the key form knows `object` and everything in it, 0 when not,
    // -1 with an exception set.
    int visit(PyObject *object, int depth) {
        if (object == Py_None || PyBool_Check(object) || PyLong_CheckExact(object) || PyFloat_CheckExact(object)) {
            return 1;
        }
        if (PyUnicode_CheckExact(object) || PyBytes_CheckExact(object)) {
            memoized_.add(object);
            return 1;
        }
        if (depth >= kDeepestKeyForm) return 0;
        if (PyTuple_CheckExact(object)) {
            const Py_ssize_t n = PyTuple_GET_SIZE(object);
            if (n == 0) return 1;  // pickle writes () without remembering it
            for (Py_ssize_t i = 0; i < n; ++i) {
                const int known = visit(PyTuple_GET_ITEM(object, i), depth + 1);
                if (known <= 0) return known;
            }
            memoized_.add(object);
            return 1;
        }
        if (PyFrozenSet_CheckExact(object)) {
            if (PySet_GET_SIZE(object) >= 2) several_elements_ = true;
            const Ref iterator = Ref::steal(PyObject_GetIter(object));
            if (!iterator) return -1;
            while (const Ref element = Ref::steal(PyIter_Next(iterator.get()))) {
                const int known = visit(element.get(), depth + 1);
                if (known <= 0) return known;
            }
            if (PyErr_Occurred()) return -1;
            memoized_.add(object);
            return 1;
        }
        return 0;
    }

    // True when pickle's bytes may differ from the key form's.
    bool differs() { return several_elements_ || memoized_.has_repeats(); }

private:
    MemoizedObjects memoized_;
    bool several_elements_ = false;  // a frozenset whose order pickle takes from the set
};

// ---- the writer -------------------------------------------------------------------------

// pickle's opcodes the key form writes (pickletools names them).
namespace opcode {
constexpr char mark = '(';
constexpr char stop = '.';
constexpr char none = 'N';
constexpr char newtrue = '\x88';
constexpr char newfalse = '\x89';
constexpr char binint = 'J';
constexpr char binint1 = 'K';
constexpr char binint2 = 'M';
constexpr char long1 = '\x8a';
constexpr char long4 = '\x8b';
constexpr char binfloat = 'G';
constexpr char short_binunicode = '\x8c';
constexpr char binunicode = 'X';
constexpr char binunicode8 = '\x8d';
constexpr char short_binbytes = 'C';
constexpr char binbytes = 'B';
constexpr char binbytes8 = '\x8e';
constexpr char empty_tuple = ')';
constexpr char tuple = 't';
constexpr char tuple1 = '\x85';  // TUPLE2 and TUPLE3 follow it
constexpr char frozenset = '\x91';
constexpr char memoize = '\x94';
constexpr char frame = '\x95';
constexpr char proto = '\x80';
}  // namespace opcode

constexpr char kProtocol = 5;

// The C pickler's framing (protocol 4 on): at the start of each object's save
// it closes the frame it fills once that holds this many bytes, and it writes
// a str or bytes whose data is at least this long outside any frame.
constexpr std::size_t kFrameTarget = std::size_t{64} * 1024;
// A frame shorter than this goes without its header (FRAME and 8 bytes).
constexpr std::size_t kShortestFrame = 4;

// The opcodes of a pickle before framing: their bytes, where each object's
// save starts (where the pickler may close a frame), and the stretches it
// writes outside frames (a long str's or bytes' opcode and data).
struct Opcodes {
    std::string bytes;
    std::vector<std::size_t> saves;
    std::vector<std::pair<std::size_t, std::size_t>> unframed;  // [from, to)

    void append(const Opcodes &other) {
        const std::size_t shift = bytes.size();
        bytes += other.bytes;
        for (std::size_t save : other.saves) saves.push_back(save + shift);
        for (auto [from, to] : other.unframed) unframed.emplace_back(from + shift, to + shift);
    }
};

void append_little_endian(std::string &out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A str's or bytes' opcode (the short form up to 255 bytes, the 8-byte one
// past 4 GiB, else the 4-byte one) and its data, then MEMOIZE.
void write_sized(Opcodes &out, char short_form, char four_byte_form, char eight_byte_form, const char *data,
                 std::size_t size) {
    const std::size_t from = out.bytes.size();
    if (size <= 0xFF) {
        out.bytes += short_form;
        append_little_endian(out.bytes, size, 1);
    } else if (size > 0xFFFFFFFFu) {
        out.bytes += eight_byte_form;
        append_little_endian(out.bytes, size, 8);
    } else {
        out.bytes += four_byte_form;
        append_little_endian(out.bytes, size, 4);
    }
    out.bytes.append(data, size);
    if (size >= kFrameTarget) out.unframed.emplace_back(from, out.bytes.size());
    out.bytes += opcode::memoize;
}

int write_str(PyObject *text, Opcodes &out) {
    Py_ssize_t size = 0;
    const char *data = nullptr;
    Ref encoded;
    if (PyUnicode_IS_ASCII(text)) {
        data = static_cast<const char *>(PyUnicode_DATA(text));
        size = PyUnicode_GET_LENGTH(text);
    } else {
        data = PyUnicode_AsUTF8AndSize(text, &size);
        if (data == nullptr) {
            // Lone surrogates: pickle writes them as "surrogatepass" does.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
            PyErr_Clear();
            encoded = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
            if (!encoded) return -1;
            data = PyBytes_AS_STRING(encoded.get());
            size = PyBytes_GET_SIZE(encoded.get());
        }
    }
    write_sized(out, opcode::short_binunicode, opcode::binunicode, opcode::binunicode8, data,
                static_cast<std::size_t>(size));
    return 0;
}

// An int beyond 64 bits, as pickle's LONG1/LONG4 data: int.to_bytes of
// (bit_length >> 3) + 1 bytes, little-endian and signed.
int big_int_bytes(PyObject *integer, std::string &data) {
    const Ref bits = Ref::steal(PyObject_CallMethod(integer, "bit_length", nullptr));
    if (!bits) return -1;
    const std::size_t bit_count = PyLong_AsSize_t(bits.get());
    if (bit_count == static_cast<std::size_t>(-1) && PyErr_Occurred()) return -1;
    const Ref method = Ref::steal(PyObject_GetAttrString(integer, "to_bytes"));
    const Ref arguments = Ref::steal(Py_BuildValue("(ns)", static_cast<Py_ssize_t>((bit_count >> 3) + 1), "little"));
    const Ref keywords = Ref::steal(Py_BuildValue("{s:O}", "signed", Py_True));
    if (!method || !arguments || !keywords) return -1;
    const Ref bytes = Ref::steal(PyObject_Call(method.get(), arguments.get(), keywords.get()));
    if (!bytes) return -1;
    data.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return 0;
}

int write_int(PyObject *integer, Opcodes &out) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow == 0 && value >= INT32_MIN && value <= INT32_MAX) {
        if (value >= 0 && value <= 0xFF) {
            out.bytes += opcode::binint1;
            append_little_endian(out.bytes, static_cast<std::uint64_t>(value), 1);
        } else if (value >= 0 && value <= 0xFFFF) {
            out.bytes += opcode::binint2;
            append_little_endian(out.bytes, static_cast<std::uint64_t>(value), 2);
        } else {
            out.bytes += opcode::binint;
            append_little_endian(out.bytes, static_cast<std::uint32_t>(static_cast<std::int32_t>(value)), 4);
        }
        return 0;
    }
    std::string data;
    if (overflow == 0) {
        // (bit_length >> 3) + 1 bytes of the value, sign-extended: 5 to 9.
        const std::uint64_t magnitude =
            value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
        const int bit_count = 64 - __builtin_clzll(magnitude);  // not 0: 0 is written above
        const int count = (bit_count >> 3) + 1;
        for (int i = 0; i < count; ++i) {
            data += static_cast<char>(i < 8 ? (value >> (8 * i)) & 0xFF : (value < 0 ? 0xFF : 0));
        }
    } else if (big_int_bytes(integer, data) < 0) {
        return -1;
    }
    // pickle drops the top byte of a negative number when it is only sign.
    const bool negative = overflow == 0 ? value < 0 : overflow < 0;
    const std::size_t n = data.size();
    if (negative && n > 1 && static_cast<unsigned char>(data[n - 1]) == 0xFF && (data[n - 2] & 0x80) != 0) {
        data.pop_back();
    }
    if (data.size() < 256) {
        out.bytes += opcode::long1;
        append_little_endian(out.bytes, data.size(), 1);
    } else {
        out.bytes += opcode::long4;
        append_little_endian(out.bytes, data.size(), 4);
    }
    out.bytes += data;
    return 0;
}

int write_float(PyObject *number, Opcodes &out) {
    unsigned char packed[8];
    if (PyFloat_Pack8(PyFloat_AS_DOUBLE(number), reinterpret_cast<char *>(packed), 0) < 0) return -1;  // big-endian
    out.bytes += opcode::binfloat;
    out.bytes.append(reinterpret_cast<const char *>(packed), sizeof packed);
    return 0;
}

int write_object(PyObject *object, Opcodes &out);

int write_tuple(PyObject *tuple, Opcodes &out) {
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    if (n == 0) {
        out.bytes += opcode::empty_tuple;
        return 0;
    }
    if (n > 3) out.bytes += opcode::mark;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (write_object(PyTuple_GET_ITEM(tuple, i), out) < 0) return -1;
    }
    out.bytes += n > 3 ? opcode::tuple : static_cast<char>(opcode::tuple1 + (n - 1));
    out.bytes += opcode::memoize;
    return 0;
}

// The elements in the order of their own opcodes' bytes, which no process's
// hash salt or the set's history changes.
int write_frozenset(PyObject *set, Opcodes &out) {
    std::vector<Opcodes> elements;
    elements.reserve(static_cast<std::size_t>(PySet_GET_SIZE(set)));
    const Ref iterator = Ref::steal(PyObject_GetIter(set));
    if (!iterator) return -1;
    while (const Ref element = Ref::steal(PyIter_Next(iterator.get()))) {
        elements.emplace_back();
        if (write_object(element.get(), elements.back()) < 0) return -1;
    }
    if (PyErr_Occurred()) return -1;
    std::sort(elements.begin(), elements.end(),
              [](const Opcodes &a, const Opcodes &b) { return a.bytes < b.bytes; });
    out.bytes += opcode::mark;
    for (const Opcodes &element : elements) out.append(element);
    out.bytes += opcode::frozenset;
    out.bytes += opcode::memoize;
    return 0;
}

// Only the types KeyWalk knows reach here.
int write_object(PyObject *object, Opcodes &out) {
    out.saves.push_back(out.bytes.size());
    if (object == Py_None) {
        out.bytes += opcode::none;
        return 0;
    }
    if (PyBool_Check(object)) {
        out.bytes += object == Py_True ? opcode::newtrue : opcode::newfalse;
        return 0;
    }
    if (PyLong_CheckExact(object)) return write_int(object, out);
    if (PyFloat_CheckExact(object)) return write_float(object, out);
    if (PyUnicode_CheckExact(object)) return write_str(object, out);
    if (PyBytes_CheckExact(object)) {
        write_sized(out, opcode::short_binbytes, opcode::binbytes, opcode::binbytes8, PyBytes_AS_STRING(object),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
        return 0;
    }
    if (PyTuple_CheckExact(object)) return write_tuple(object, out);
    return write_frozenset(object, out);
}

// PROTO 5, the opcodes in frames as the C pickler cuts them, and STOP.
std::string framed(const Opcodes &body) {
    std::string out{opcode::proto, kProtocol};
    std::string frame;
    const auto close_frame = [&] {
        if (frame.empty()) return;
        if (frame.size() >= kShortestFrame) {
            out += opcode::frame;
            append_little_endian(out, frame.size(), 8);
        }
        out += frame;
        frame.clear();
    };
    std::size_t position = 0;
    std::size_t save = 0;
    std::size_t unframed = 0;
    for (;;) {
        std::size_t next = body.bytes.size();
        if (save < body.saves.size()) next = std::min(next, body.saves[save]);
        if (unframed < body.unframed.size()) next = std::min(next, body.unframed[unframed].first);
        if (position < next) {
            frame.append(body.bytes, position, next - position);
            position = next;
        } else if (save < body.saves.size() && body.saves[save] == position) {
            if (frame.size() >= kFrameTarget) close_frame();
            ++save;
        } else if (unframed < body.unframed.size() && body.unframed[unframed].first == position) {
            close_frame();
            const std::size_t to = body.unframed[unframed].second;
            out.append(body.bytes, position, to - position);
            position = to;
            ++unframed;
        } else {
            break;
        }
    }
    frame += opcode::stop;
    close_frame();
    return out;
}

}  // namespace

int write_key_form(PyObject *key, Ref &form) {
    try {
        KeyWalk walk;
        const int known = walk.visit(key, 0);
        if (known <= 0) return known;
        if (!walk.differs()) return 0;
        Opcodes body;
        if (write_object(key, body) < 0) return -1;
        const std::string bytes = framed(body);
        form = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
        return form ? 1 : -1;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return -1;
    } catch (const std::length_error &) {
        PyErr_NoMemory();
        return -1;
    }
}

}  // namespace zorvik::binding
