// The host's key against known_hosts: the files read before the key exchange,
// so that libssh asks for a key of a type they know, and the key judged after it.
#pragma once

#include "ssh/conocidos.h"
#include "ssh/ssh.h"

#include <string>

namespace sockvor {

// Who the host is, as the messages and known_hosts name it.
struct HostSsh {
    std::string host; // the real name, after the configuration
    unsigned puerto;
    std::string donde;     // the address as given, with the real name if it differs
    std::string conocidos; // the user's known_hosts file
    std::string global;    // the system's
};

// Reads both files for `h`; malformed lines that name the host are skipped and
// reported on stderr, in one line per file.
Conocidos consulta_conocidos(ssh_session sesion, const HostSsh &h);

// Throws unless the key the host presented on `s` is known, and not revoked.
void verifica_host(ConexionSsh &s, const Conocidos &c, const HostSsh &h);

} // namespace sockvor
