// The ways a wait for a lock (or for an expansion) ends without the thing
// waited for: the lock names no process that could be judged, the waiter's
// deadline passed, or the host asked every wait to be given up. Hosts
// translate them (the Python binding: RuntimeError and SystemExit).
#pragma once

#include <stdexcept>
#include <string>

#include "zorvik/core/segment/export.hpp"

namespace zorvik {

// Thrown by a waiter whose lock word is held without naming a process (a
// damaged file, or a process of a version that does not record its id),
// once it has waited long enough: such a lock is never taken over online,
// since its holder may be alive. The message names the lock and says how to
// repair the file offline.
class ZORVIK_EXPORT LockHeldByNoProcess : public std::runtime_error {
public:
    LockHeldByNoProcess(const char *lock_name, const std::string &path);
};

// Thrown by a waiter whose thread set a deadline for its waits (WaitDeadline)
// when the deadline has passed: for clean-ups that must not wait for ever.
class ZORVIK_EXPORT LockWaitExpired : public std::runtime_error {
public:
    explicit LockWaitExpired(const char *lock_name);
};

// Thrown by a waiter once the host has asked every wait to be given up
// (host::request_stop, when the program shuts down).
class ZORVIK_EXPORT WaitAbandoned : public std::runtime_error {
public:
    explicit WaitAbandoned(const char *what_waited_for);
};

}  // namespace zorvik
