// How the core waits and allocates when it runs inside the interpreter.
#pragma once

namespace zorvik::binding {

// Installs the interpreter's waits and allocator as the core's host hooks.
// Never fails.
void install_host_hooks() noexcept;

// Registers with atexit the handler that makes waiting threads give up their
// waits when the interpreter exits. 0, or -1 with an exception set.
int register_exit_handler();

}  // namespace zorvik::binding
