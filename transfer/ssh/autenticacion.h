// The user's authentication on an SSH connection whose host key is already
// trusted: keys only, and never a prompt, not even on a terminal.
#pragma once

#include <string>

namespace sockvor {

struct ConexionSsh;
class Llavero;

// Authenticates `login` with the user's agent's keys, then with those of the
// identity files, all served by the key holder `llavero` as an agent; throws
// Fallo. A key that needs a passphrase is skipped and named in the failure; so
// is a key that was never offered. `dir_ssh` is where the key files are, for messages.
void autentica(ConexionSsh &conexion, const std::string &login, const std::string &dir_ssh,
               Llavero &llavero);

} // namespace sockvor
