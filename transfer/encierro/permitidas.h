// The system calls a confined process may make: an allowlist, not a list of refusals,
// so a call the filter does not know (one newer than it, say) is refused like any other.
// Every thread of the process takes it, those already running too, and so does every
// process it starts later; a call from another ABI (i386's int 0x80, x32) is refused
// whole.
//
// A refused call fails with ENOSYS, as on a kernel that lacks it: every caller must
// already live with that answer, and the C library takes its fallback (pthread_create
// tries clone3 and goes back to clone only on ENOSYS). Nothing is killed: a refusal
// the program did not foresee ends in its ordinary failure line and status.
//
// Two lists, one inside the other, as the process advances:
//   - `deposito`: from the moment the process may write only in its deposit folder
//     (encierro.h). What the library needs to connect, authenticate, list and fetch,
//     and what a program around it ordinarily does: sockets of the Internet and UNIX
//     families, starting and signalling processes, reading files. Refused: any change
//     of a file's mode, owner, times, flags or extended attributes by its name, or
//     through a descriptor but for the few the deposit makes on its own files; ioctls
//     but a few that only read; io_uring, ptrace, and the like.
//   - `sellado`: before the host's first byte, all read, connected and started. Only
//     what authenticating, listing and fetching over the connection already made still
//     need: no new socket of any family, no new process or program, no signal but to the
//     process itself and the child it names.
#pragma once

#include <sys/types.h>

namespace sockvor {

enum class Lista { deposito, sellado };

struct Ajustes {
    // Where Landlock cannot refuse a truncation (its ABI before 3, Linux before 6.2):
    // also refuse every open that would truncate, which the program never makes.
    bool vedar_truncado_al_abrir = false;
    // A child of the process it may still signal once sealed (the key holder); 0: none.
    pid_t hijo = 0;
};

// Installs the list on every thread of the process; false where the kernel offers no
// seccomp (or refuses it), and then nothing changed. Lists stack: once `sellado` is in,
// installing `deposito` again narrows nothing and widens nothing.
bool permite_solo(Lista lista, const Ajustes &ajustes = {});

} // namespace sockvor
