// How the core waits and allocates when it runs inside the interpreter.
#pragma once

namespace zorvik::binding {

// Installs the interpreter's waits and allocator as the core's host hooks.
// Never fails.
void install_host_hooks() noexcept;

}  // namespace zorvik::binding
