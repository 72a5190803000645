// The SSH connection under the SFTP channel: the TCP connection, the host key
// checked against known_hosts, the user authenticated by key, and the orderly
// end of it all. What travels over it is the SFTP layer's business.
#pragma once

#include "errores.h"
#include "recursos.h"
#include "ssh/vigia.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace sockvor {

struct ConexionSsh {
    std::string host;                // the address as the caller gave it, for messages
    std::chrono::milliseconds plazo; // bound for the connection and for each blocking call
    long respaldo_s = 0;             // libssh's own timeout, a backstop well behind `plazo`
    // Ours, not libssh's: it leaves a socket handed in with SSH_OPTIONS_FD open.
    // Declared first so it is closed after the session that uses it is freed.
    Descriptor socket;
    SesionSsh ssh;
    int fd = -1;            // socket.get(), for the watchdog
    bool muerta = false;    // the socket was shut down or the peer went away
    bool entregado = false; // libssh was given the socket (SSH_OPTIONS_FD)

    ConexionSsh() = default;
    ConexionSsh(const ConexionSsh &) = delete;
    ConexionSsh &operator=(const ConexionSsh &) = delete;
    // Ends the session as a client should, within `plazo`, unless it is already dead.
    ~ConexionSsh();

    // Runs one blocking libssh call under the watchdog.
    template <class F> auto vigilado(F &&llamada) {
        Guardia guardia(fd, plazo);
        return llamada();
    }

    // Lets libssh read what the host sends, and see that the socket takes data
    // again, until `listo()` holds, the connection ends or the watchdog (armed by
    // the caller) fires; each wait is bounded by `espera_ms`. For the end of a
    // channel or a session, where no channel read is left to drive libssh.
    bool atiende_hasta(const std::function<bool()> &listo, int espera_ms);

    // Whether the last failed call was cut by the watchdog or found the connection
    // gone; either way the connection is marked dead.
    bool cortada_por_plazo();
    bool caida();

    // Throws the failure of a libssh call that just failed: a timeout if the
    // watchdog cut it (or why it could not watch it), a dropped connection if the session is gone, and otherwise
    // `codigo` with libssh's cause. `accion` reads like "abrir el canal SFTP".
    [[noreturn]] void falla_llamada(int codigo, const std::string &accion);
    [[noreturn]] void falla_por_plazo(const std::string &accion);
    [[noreturn]] void falla_por_caida(const std::string &accion, const std::string &detalle);
};

// Connects to `ip` ("host", "host:port", "[v6]:port" or a Host alias) as
// `login`, checks the host key and authenticates; throws Fallo.
std::unique_ptr<ConexionSsh> conecta(const std::string &ip, const std::string &login);

// Prepares the library's global state (libssh, the crypto library, the exit
// teardown) once; `al_salir` runs at process exit before libssh is finalised.
void inicializa_ssh(void (*al_salir)());

} // namespace sockvor
