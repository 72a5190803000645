// The process confines itself once it knows where it deposits. A fault in what parses
// the host's replies (libssh's, or our SFTP reader) would run with everything the user
// may write; from the first fetch on, Landlock lets the process, every thread of ours and
// every process started after, create, write, rename or remove files only beneath that
// fetch's deposit folder (and write /dev/null), and a seccomp filter refuses what those
// rules leave open (vedadas.h). Reading, the network, signals and processes that were
// already running are left as they were.
#pragma once

#include <string>

namespace sockvor {

// Called by each fetch, for its local path, before it connects or touches the disk.
// The first fetch whose folder this process may write into confines the process to that
// folder; one whose folder is missing or closed to it does not count. Once confined, a
// fetch into another folder fails with SOCKVOR_E_LOCAL. Where the kernel offers no
// Landlock (before 5.13, or turned off), nothing is confined and no folder refused.
void confina(const std::string &local);

} // namespace sockvor
