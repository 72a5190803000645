// The one SSH connection and SFTP session per (ip, login) that serves every
// call of the process, and how failures of calls made over it are told apart.
#pragma once

#include "errores.h"
#include "recursos.h"
#include "sockvor.h"
#include "vigia.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace sockvor {

struct Sesion {
    std::string host;                // the address as the caller gave it, for messages
    std::chrono::milliseconds plazo; // bound for the connection and for each blocking call
    // Ours, not libssh's: it leaves a socket handed in with SSH_OPTIONS_FD open.
    // Declared first so it is closed after the session that uses it is freed.
    Descriptor socket;
    SesionSsh ssh;
    SesionSftp sftp;
    int fd = -1;         // socket.get(), for the watchdog
    bool muerta = false; // the socket was shut down or the peer went away
    // Sizes from the last listing, by SFTP path, so a fetch needs no stat.
    std::unordered_map<std::string, std::uint64_t> tamanos;

    Sesion() = default;
    Sesion(const Sesion &) = delete;
    Sesion &operator=(const Sesion &) = delete;
    ~Sesion();

    // Runs one blocking libssh call under the watchdog.
    template <class F> auto vigilado(F &&llamada) {
        Guardia guardia(fd, plazo);
        return llamada();
    }

    // Throws the failure of a libssh or SFTP call that just failed: a timeout if
    // the watchdog cut it, a dropped connection if the session is gone, and
    // otherwise `codigo` with the SFTP cause. `accion` reads like "leer /D:/x".
    [[noreturn]] void falla_llamada(int codigo, const std::string &accion);
};

// Closing a remote handle waits for the host's answer, so it is bounded too.
struct CierraVigilado {
    int fd;
    std::chrono::milliseconds plazo;
    void operator()(sftp_file f) const {
        Guardia guardia(fd, plazo);
        sftp_close(f);
    }
    void operator()(sftp_dir d) const {
        Guardia guardia(fd, plazo);
        sftp_closedir(d);
    }
};
using ArchivoRemoto = std::unique_ptr<sftp_file_struct, CierraVigilado>;
using CarpetaRemota = std::unique_ptr<sftp_dir_struct, CierraVigilado>;

// Serialises the exported functions: the cache and the watchdog serve one call
// at a time.
std::unique_lock<std::mutex> bloqueo_global();

Sesion &sesion(const std::string &ip, const std::string &login, bool &reusada);
void descarta(const std::string &ip, const std::string &login);

// Runs `operacion` on the session of (ip, login). A session taken from the cache
// may have been closed by the host since its last use: when the operation finds
// the connection dropped, it is made again once and the operation repeated.
template <class Op> void con_sesion(const std::string &ip, const std::string &login, Op operacion) {
    bool reusada = false;
    for (int intento = 0;; ++intento) {
        Sesion &s = sesion(ip, login, reusada);
        try {
            operacion(s);
            return;
        } catch (const Fallo &f) {
            bool perdida = f.codigo == SOCKVOR_E_CONEXION_PERDIDA;
            if (perdida || f.codigo == SOCKVOR_E_TIEMPO || s.muerta) {
                descarta(ip, login);
            }
            if (!perdida || !reusada || intento > 0) {
                throw;
            }
        }
    }
}

} // namespace sockvor
