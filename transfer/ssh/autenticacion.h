// The user's authentication on an SSH connection whose host key is already
// trusted: keys only, and never a prompt, not even on a terminal.
#pragma once

#include <string>

namespace sockvor {

struct ConexionSsh;

// Authenticates `login` with the agent's keys, then with the key files libssh
// knows (its defaults and the configuration's IdentityFile); throws Fallo. A
// key that needs a passphrase is skipped and named in the failure; so is a key
// that was never offered. `dir_ssh` is where the key files are, for messages.
void autentica(ConexionSsh &conexion, const std::string &login, const std::string &dir_ssh);

} // namespace sockvor
