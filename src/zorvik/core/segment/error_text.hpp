// The process-wide error text: the segment and the allocator never throw;
// they return a null or false result and describe the failure here, where
// the layers above (and the tests) read it.
#pragma once

namespace zorvik {

// Error text kinds (a bit set).
enum ErrorKind : unsigned {
    kAllocatorError = 1,  // prefix "mm:alloc: "
    kSegmentError = 2,    // prefix "mm:core: "
    kAppendErrno = 4,     // append " (" strerror(errno) ")" when errno != 0
};

// Sets the process-wide error text (at most 1024 characters). Keeps errno.
void record_error(unsigned kind, const char *message);
// The error text, or null while nothing has been recorded in this process.
const char *last_error();

}  // namespace zorvik
