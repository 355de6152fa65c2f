// The portable hash (portable_hash.hpp): CPython's hashes of str, bytes,
// tuple, frozenset and None, computed with a zero hash secret.
#include "zorvik/fennick/portable_hash.hpp"

#include <cstdint>
#include <cstring>

#include "zorvik/capi/ref.hpp"

namespace zorvik::fennick {
namespace {

using capi::Ref;

// ---- SipHash-1-3 (Python/pyhash.c) ---------------------------------------------

constexpr std::uint64_t rotate_left(std::uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

struct SipState {
    // The initial state for k0 = k1 = 0: the constants themselves ("somepseudorandomlygeneratedbytes").
    std::uint64_t v0 = 0x736f6d6570736575ull;
    std::uint64_t v1 = 0x646f72616e646f6dull;
    std::uint64_t v2 = 0x6c7967656e657261ull;
    std::uint64_t v3 = 0x7465646279746573ull;

    static void half_round(std::uint64_t &a, std::uint64_t &b, std::uint64_t &c, std::uint64_t &d, int s, int t) {
        a += b;
        c += d;
        b = rotate_left(b, s) ^ a;
        d = rotate_left(d, t) ^ c;
        a = rotate_left(a, 32);
    }
    void round() {
        half_round(v0, v1, v2, v3, 13, 16);
        half_round(v2, v1, v0, v3, 17, 21);
    }
    // One compression round for a message word ("1" of 1-3).
    void absorb(std::uint64_t word) {
        v3 ^= word;
        round();
        v0 ^= word;
    }
    // Three finalisation rounds ("3" of 1-3).
    std::uint64_t finish() {
        v2 ^= 0xff;
        round();
        round();
        round();
        return (v0 ^ v1) ^ (v2 ^ v3);
    }
};

std::uint64_t siphash13_zero_key(const unsigned char *in, std::uint64_t length) {
    SipState state;
    std::uint64_t left = length;
    for (; left >= 8; left -= 8, in += 8) {
        std::uint64_t word;
        std::memcpy(&word, in, 8);  // little-endian on x86-64, as the algorithm reads it
        state.absorb(word);
    }
    // The last 0 to 7 bytes, little-endian, under the length's low byte.
    std::uint64_t last = length << 56;
    for (std::uint64_t i = 0; i < left; ++i) last |= std::uint64_t{in[i]} << (8 * i);
    state.absorb(last);
    return state.finish();
}

// ---- tuple (Objects/tupleobject.c, xxHash's 64-bit primes) ----------------------

constexpr Py_uhash_t kXXPrime1 = 11400714785074694791ull;
constexpr Py_uhash_t kXXPrime2 = 14029467366897019727ull;
constexpr Py_uhash_t kXXPrime5 = 2870177450012600261ull;
// The length is mixed in so that hash(()) kept its value from before xxHash.
constexpr Py_uhash_t kTupleLengthMix = kXXPrime5 ^ 3527539ull;
constexpr Py_hash_t kTupleMinusOne = 1546275796;

// ---- frozenset (Objects/setobject.c) ---------------------------------------------

constexpr Py_uhash_t shuffle_bits(Py_uhash_t h) { return ((h ^ 89869747ull) ^ (h << 16)) * 3644798167ull; }
constexpr Py_uhash_t kFrozensetSizeFactor = 1927868237ull;
constexpr Py_uhash_t kFrozensetMultiplier = 69069u;
constexpr Py_uhash_t kFrozensetIncrement = 907133923ull;
constexpr Py_hash_t kFrozensetMinusOne = 590923713;

// hash(None) on CPython 3.12 and later (Objects/object.c).
constexpr Py_hash_t kNoneHash = 0xFCA86420;

Py_hash_t never_minus_one(Py_uhash_t hash, Py_hash_t instead) {
    return hash == static_cast<Py_uhash_t>(-1) ? instead : static_cast<Py_hash_t>(hash);
}

Py_hash_t str_hash(PyObject *text) {
#if PY_VERSION_HEX < 0x030C0000
    // A string made by the legacy wide-character API gets its compact form here.
    if (PyUnicode_READY(text) < 0) return -1;
#endif
    // The code points as stored: 1, 2 or 4 bytes each, by the widest one.
    const Py_ssize_t bytes = PyUnicode_GET_LENGTH(text) * static_cast<Py_ssize_t>(PyUnicode_KIND(text));
    return portable_hash_bytes(PyUnicode_DATA(text), bytes);
}

Py_hash_t tuple_hash(PyObject *tuple) {
    const Py_ssize_t length = PyTuple_GET_SIZE(tuple);
    Py_uhash_t acc = kXXPrime5;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_hash_t lane = portable_hash(PyTuple_GET_ITEM(tuple, i));
        if (lane == -1) return -1;
        acc += static_cast<Py_uhash_t>(lane) * kXXPrime2;
        acc = rotate_left(acc, 31);
        acc *= kXXPrime1;
    }
    acc += static_cast<Py_uhash_t>(length) ^ kTupleLengthMix;
    return never_minus_one(acc, kTupleMinusOne);
}

Py_hash_t frozenset_hash(PyObject *set) {
    // xor is independent of the order, so the elements are taken as the
    // set's own iterator (not a subclass's __iter__) yields them.
    const Ref iterator = Ref::steal(PyFrozenSet_Type.tp_iter(set));
    if (!iterator) return -1;
    Py_uhash_t hash = 0;
    while (const Ref element = Ref::steal(PyIter_Next(iterator.get()))) {
        const Py_hash_t element_hash = portable_hash(element.get());
        if (element_hash == -1) return -1;
        hash ^= shuffle_bits(static_cast<Py_uhash_t>(element_hash));
    }
    if (PyErr_Occurred()) return -1;
    hash ^= (static_cast<Py_uhash_t>(PySet_GET_SIZE(set)) + 1) * kFrozensetSizeFactor;
    // Disperses the patterns that nested frozensets would leave.
    hash ^= (hash >> 11) ^ (hash >> 25);
    hash = hash * kFrozensetMultiplier + kFrozensetIncrement;
    return never_minus_one(hash, kFrozensetMinusOne);
}

// The containers recurse into portable_hash, guarded against nesting that
// would exhaust the C stack.
template <class Hash>
Py_hash_t nested(PyObject *container, Hash hash) {
    if (Py_EnterRecursiveCall(" while hashing a key")) return -1;
    const Py_hash_t result = hash(container);
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace

Py_hash_t portable_hash_bytes(const void *data, Py_ssize_t length) {
    if (length <= 0) return 0;
    const std::uint64_t hash = siphash13_zero_key(static_cast<const unsigned char *>(data),
                                                  static_cast<std::uint64_t>(length));
    return never_minus_one(hash, -2);
}

Py_hash_t portable_hash(PyObject *key) {
    // A subclass counts when it kept its base's hash slot: its hash is then
    // the base's algorithm over the same data. One that defines __hash__ has
    // another slot and is hashed by it. The slot is compared first, as it
    // rules out most keys at the cost of one load.
    const hashfunc slot = Py_TYPE(key)->tp_hash;
    if (slot == PyUnicode_Type.tp_hash && PyUnicode_Check(key)) return str_hash(key);
    if (slot == PyBytes_Type.tp_hash && PyBytes_Check(key)) {
        return portable_hash_bytes(PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key));
    }
    if (slot == PyTuple_Type.tp_hash && PyTuple_Check(key)) return nested(key, tuple_hash);
    if (slot == PyFrozenSet_Type.tp_hash && PyFrozenSet_Check(key)) return nested(key, frozenset_hash);
    if (key == Py_None) return kNoneHash;
    return PyObject_Hash(key);
}

}  // namespace zorvik::fennick
