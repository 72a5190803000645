// The key holder: a child process that lives for one connection's authentication,
// started before the process is sealed (encierro.h). It reads the private keys and
// talks to the user's agent, and serves the ssh-agent protocol over a socket pair.
// The process that talks to the host never reads a private key file nor holds a key;
// it hands its end to libssh as the agent.
#pragma once

#include "recursos.h"
#include "ssh/agente.h"
#include "ssh/identidades.h"

#include <chrono>
#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sockvor {

class Llavero {
  public:
    // Starts the holder for `ids`, to sign logins as `login`; a failure throws
    // Fallo with `contexto` ("No se pudo autenticar...") and its cause.
    Llavero(const Identidades &ids, const std::string &login, std::chrono::milliseconds plazo,
            std::string contexto);
    // Ends the holder and reaps it.
    ~Llavero();
    Llavero(const Llavero &) = delete;
    Llavero &operator=(const Llavero &) = delete;

    int socket() const { return propio_.get(); }
    pid_t pid() const { return hijo_; }
    // libssh holds the descriptor's number from now on, and closes it itself.
    void entregado() { entregado_ = true; }
    // The key files kept back for their passphrase; throws Fallo if the holder
    // does not answer within `plazo`.
    std::vector<agente::ConFrase> con_frase();
    // Throws Fallo if the holder has ended (its end of the socket closed).
    void comprueba();

  private:
    [[noreturn]] void falla_con(const std::string &motivo);

    // SIGPIPE held back on this thread while the holder lives: libssh writes
    // to it without MSG_NOSIGNAL, and a holder gone must not end the program.
    class SinSigpipe {
      public:
        SinSigpipe();
        ~SinSigpipe();

      private:
        sigset_t antes_{};
        bool ya_pendiente_ = false;
    };

    SinSigpipe sin_sigpipe_;
    std::chrono::milliseconds plazo_;
    std::string contexto_;
    Descriptor propio_;
    pid_t hijo_ = -1;
    bool entregado_ = false;
};

} // namespace sockvor
