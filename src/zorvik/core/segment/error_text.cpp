#include "zorvik/core/segment/error_text.hpp"

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace zorvik {
namespace {

// The longest text, as callers (and the tests) know it: room for any message
// here with its errno text.
constexpr std::size_t kErrorTextMax = 1024;

// One buffer for the whole process, written without a lock: concurrent
// failures in several threads may interleave in it. Each text is composed in a
// local buffer first, so a reader sees at worst a mix of two complete texts.
char error_text[kErrorTextMax + 1];

// Appends up to `length` bytes of `piece`, never past kErrorTextMax.
void append_cut(char *text, std::size_t &used, const char *piece, std::size_t length) {
    std::size_t room = kErrorTextMax - used;
    std::size_t take = length < room ? length : room;
    std::memcpy(text + used, piece, take);
    used += take;
}

void append_cut(char *text, std::size_t &used, const char *piece) {
    append_cut(text, used, piece, std::strlen(piece));
}

// strerror without the shared static buffer of the plain function (GNU form:
// returns either `buffer` or a static string).
const char *errno_text(int error, char *buffer, std::size_t size) { return strerror_r(error, buffer, size); }

}  // namespace

void record_error(unsigned kind, const char *message) {
    const int error = errno;  // the value at the moment of the call, whatever set it
    char text[kErrorTextMax + 1];
    std::size_t used = 0;
    append_cut(text, used, (kind & kAllocatorError) ? "mm:alloc: " : "mm:core: ");
    append_cut(text, used, message);
    if ((kind & kAppendErrno) && error != 0) {
        // " (" and ")" are added only where they fit whole; the errno text is
        // cut to the room left.
        if (used <= kErrorTextMax - 3) append_cut(text, used, " (");
        char buffer[256];
        append_cut(text, used, errno_text(error, buffer, sizeof buffer));
        if (used <= kErrorTextMax - 2) append_cut(text, used, ")");
    }
    text[used] = '\0';
    std::memcpy(error_text, text, used + 1);
    errno = error;
}

const char *last_error() { return error_text[0] != '\0' ? error_text : nullptr; }

}  // namespace zorvik
