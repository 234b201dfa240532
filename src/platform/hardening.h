#pragma once

// Process-wide defences of the service process, turned on before it does
// anything else.
namespace tarsel::platform {

// Windows: the process no longer follows junctions and symbolic links that an
// unprivileged user created, and loads DLLs named without a path only from
// System32, never from its own directory or the current one. Where the system
// lacks either defence the call does nothing about it. POSIX: nothing.
void harden_process() noexcept;

}  // namespace tarsel::platform
