// The process narrows what it may do as it advances, so that a fault in what parses the
// host's bytes (libssh's, or our SFTP reader) could reach as little as possible:
//
//   1. deposit: once the process knows its deposit folder, Landlock lets the process,
//      every thread of ours and every process started after, create, write, rename or
//      remove files only beneath that folder (regular files only) and write /dev/null;
//      and every thread takes the allowlist `deposito` (permitidas.h). The program tells
//      the library its folder before the library connects (FijaDeposito), so this holds
//      from the host's first byte; another caller gets it at its first fetch.
//   2. seal: once the connection is made and the key holder started, before the host's
//      first byte, and only for a process that told its folder in advance: files may be
//      opened only beneath the folder, no socket is made, no program run, no process but
//      itself and the holder signalled (the allowlist `sellado`, with Landlock's rules
//      for reading and TCP where the kernel has them). The private keys never enter this
//      process: the holder (ssh/llavero.h) reads them and talks to the user's agent, and
//      is gone once the host has accepted the user.
//
// Where the kernel lacks Landlock or seccomp, the process goes on without that part and
// says nothing.
#pragma once

#include <string>
#include <sys/types.h>

namespace sockvor {

// The folder every fetch of this process will deposit into, given as the prefix of the
// local paths ("/srv/acuses" for "/srv/acuses/name"). Confines the process to it at once
// (a folder that cannot be opened: to nowhere) and arms the seal. Only the first call
// counts.
void conoce_deposito(const std::string &prefijo);

// Called by each fetch, for its local path, before it connects or touches the disk.
// Unconfined, the first fetch whose folder this process may write into confines the
// process to that folder; one whose folder is missing or closed to it does not count.
// Once confined, a fetch into another folder fails with SOCKVOR_E_LOCAL.
void confina(const std::string &local);

// Called once everything is read, connected and started, before the host's first byte:
// seals the process if its folder was given. `hijo` (the key holder) may still be
// signalled.
void sella(pid_t hijo);
// Whether the process is sealed: it can make no new connection.
bool sellado();

// The key holder, once it holds its keys and its agent connection: nothing to open,
// write, connect or start any more.
void encierra_llavero();

} // namespace sockvor
