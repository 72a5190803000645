// The one SSH connection and SFTP channel per (ip, login) that serves every
// call of the process, with what the last listing taught about its files.
#pragma once

#include "anticipo.h"
#include "sftp_canal.h"
#include "sockvor.h"
#include "ssh.h"

#include <memory>
#include <mutex>
#include <string>

namespace sockvor {

struct Sesion {
    std::unique_ptr<ConexionSsh> ssh;
    std::unique_ptr<CanalSftp> canal; // declared after: it ends before the connection it rides on

    bool muerta() const { return ssh->muerta; }
};

// Everything kept per (ip, login): the connection, replaced when it drops, and
// the files of the last listing with those fetched ahead.
struct Destino {
    std::unique_ptr<Sesion> sesion;
    Anticipo anticipo;
};

// Serialises the exported functions: the cache, the channel and the watchdog
// serve one call at a time.
std::unique_lock<std::mutex> bloqueo_global();

Destino &destino(const std::string &ip, const std::string &login);
// The live session of `d`, connecting when there is none or it died.
Sesion &sesion(Destino &d, const std::string &ip, const std::string &login, bool &reusada);
// Drops the session of `d` after a failure left it unusable, and everything in
// flight on it.
void descarta(Destino &d);

// Runs `operacion` on the session of (ip, login). A session taken from the cache
// may have been closed by the host since its last use: when the operation finds
// the connection dropped, it is made again once and the operation repeated.
template <class Op> void con_sesion(const std::string &ip, const std::string &login, Op operacion) {
    Destino &d = destino(ip, login);
    bool reusada = false;
    for (int intento = 0;; ++intento) {
        Sesion &s = sesion(d, ip, login, reusada);
        try {
            operacion(s, d.anticipo);
            return;
        } catch (const Fallo &f) {
            bool perdida = f.codigo == SOCKVOR_E_CONEXION_PERDIDA;
            if (s.muerta()) {
                descarta(d);
            }
            if (!perdida || !reusada || intento > 0) {
                throw;
            }
        }
    }
}

} // namespace sockvor
