// The kernel's Landlock, as the confinement uses it. Each call makes a new domain for the
// calling thread and whatever it starts from then on, inside the domains it already had:
// rights only ever narrow. Threads already running keep what they had (encierro.cpp
// stops the library's own first).
#pragma once

namespace sockvor::landlock {

// The newest ABI the kernel offers; 0 without Landlock (before Linux 5.13, or off).
int abi();

// From now on files may be made, written, renamed or removed only beneath `carpeta` (a
// descriptor of the folder, or -1: nowhere), and only regular files there; /dev/null
// may be written.
bool escribe_solo_en(int carpeta);

// From now on files and folders may be opened, for reading too, only beneath `carpeta`
// (or nowhere: -1) and /dev/null, programs run from nowhere; where the kernel can (ABI 4
// and 6), no TCP connection made or port bound, no abstract UNIX socket reached outside
// the domain.
bool lee_solo_en(int carpeta);

} // namespace sockvor::landlock
