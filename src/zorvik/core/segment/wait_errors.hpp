// The two ways a wait for a lock (or for an expansion) ends without the thing
// waited for: its holder died, or the host asked every wait to be given up.
// Hosts translate them (the Python binding: RuntimeError and SystemExit).
#pragma once

#include <stdexcept>

namespace zorvik {

// Thrown by a waiter whose lock is held by a process that has ended (nothing
// can tell what the dead holder left half done, so the lock is not taken
// over).
class LockHolderDied : public std::runtime_error {
public:
    LockHolderDied(const char *lock_name, int pid);
    int pid() const noexcept { return pid_; }

private:
    int pid_;
};

// Thrown by a waiter once the host has asked every wait to be given up
// (host::request_stop, when the program shuts down).
class WaitAbandoned : public std::runtime_error {
public:
    explicit WaitAbandoned(const char *what_waited_for);
};

}  // namespace zorvik
