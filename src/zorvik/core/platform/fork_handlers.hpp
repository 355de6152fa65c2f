// Handlers that run around fork(), for what the core keeps per process: a
// mutex a forking thread must not leave locked in the child, a cached process
// id, a start-time tag, the chunk pools. POSIX's pthread_atfork on every
// platform the core runs on; one name for it, so that a platform without it
// has one place to change.
//
// `prepare` runs in the forking thread before the fork (handlers registered
// later run first); `parent` and `child` after it, in the forking thread of
// each process (in the order of registration). Any of them may be null.
#pragma once

#include <pthread.h>

namespace zorvik::platform {

using ForkHandler = void (*)();

// True when registered.
inline bool on_fork(ForkHandler prepare, ForkHandler parent, ForkHandler child) {
    return pthread_atfork(prepare, parent, child) == 0;
}

}  // namespace zorvik::platform
