// What the confinement's file rules cannot hold (confinamiento.h): Landlock
// decides who may open, make, rename or remove a file, not what may change an
// existing file's mode, owner, times or attributes by its name or through a
// descriptor opened only to read, nor what may push characters into the
// terminal the program was started from, for its shell to run unconfined. A
// seccomp filter refuses those calls (EPERM) to the process and to whatever it
// starts later. The program never makes them once it deposits: a deposit's
// mode is set as it is created.
//
// What stays open, because the program needs it: fsetxattr, the record
// written on each finished temporary file (origen.h), may also reach a file
// opened to read; a descriptor the process held before (its standard output,
// say) may still be written.
#pragma once

namespace sockvor {

// Installs the filter on the calling thread, and so on every thread and process
// it starts from now on; false where the kernel offers no seccomp. Needs
// no_new_privs (set for Landlock already). Where Landlock cannot refuse a
// truncation (its ABI before 3: Linux before 6.2), `vedar_truncado_al_abrir`
// also refuses an open that truncates, which the program never makes.
bool veda_llamadas(bool vedar_truncado_al_abrir);

} // namespace sockvor
