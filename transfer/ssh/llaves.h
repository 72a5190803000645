// What the key holder holds, and only it: the identity files' private keys and
// the connection to the user's agent, and the answer to each request of the
// ssh-agent protocol (agente.h). Runs in the holder's process alone.
#pragma once

#include "recursos.h"
#include "ssh/agente.h"
#include "ssh/firma.h"
#include "ssh/identidades.h"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace sockvor {

class Llaves {
  public:
    // Loads every file of `ids` that needs no passphrase (one that does is
    // kept back, never prompted for) and asks the user's agent for its keys;
    // `plazo` bounds each exchange with the agent. It signs only a login as `login`.
    Llaves(const Identidades &ids, std::string login, std::chrono::milliseconds plazo);

    // The answer to one request (a message's body).
    std::string atiende(std::string_view cuerpo);

  private:
    void conecta_agente(const std::string &ruta, std::chrono::milliseconds plazo);
    void carga(const std::string &archivo);
    // Lists a key, unless listed already or the list is full.
    bool lista(std::string blob, std::string comentario);
    bool listada(std::string_view blob) const;
    std::string firma(const agente::PideFirma &pedido);

    std::string login_;
    Descriptor agente_;
    // The list libssh is given: the agent's keys first (with no comment, so
    // the library can tell them), then the files' (their path for a comment).
    std::vector<agente::Identidad> lista_;
    std::size_t largo_lista_ = 0;
    std::vector<std::pair<std::string, Firmante>> propias_; // blob, and what signs for it
    std::vector<agente::ConFrase> con_frase_;
};

} // namespace sockvor
