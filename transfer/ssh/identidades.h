// Where the key holder looks for keys: the identity files and the user's agent,
// read from the SSH configuration (configssh.h) as libssh reads them, since
// libssh offers no way to read back its own list.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sockvor {

struct Identidades {
    std::vector<std::string> archivos; // private key files, in the order they are offered
    std::string agente;                // the user's agent's socket; empty for none
};

// What a path in the configuration may name: a leading ~ (the home the library
// uses, HOME) and %d, %h, %l, %p, %r, %u and %% as libssh expands them.
struct Expansion {
    std::string home, dir_ssh, host, login;
    unsigned puerto = 22;
};
std::string expande(std::string_view ruta, const Expansion &e);

// Every IdentityFile for `host_dado` (as the caller named it, as Host blocks
// match it) in `configuraciones`, in the order they are read and each in its
// own order, then %d/id_ed25519, %d/id_ecdsa and %d/id_rsa, each path once.
// The agent is the first IdentityAgent ("none" for none, "SSH_AUTH_SOCK" for
// the variable), else `del_entorno` (SSH_AUTH_SOCK, or null).
Identidades identidades(const std::vector<std::string> &configuraciones, std::string_view host_dado,
                        const Expansion &e, const char *del_entorno);

} // namespace sockvor
