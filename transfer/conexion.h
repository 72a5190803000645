// The one session per (ip, login) that serves every call of the process, with
// what the last listing taught about its files.
#pragma once

#include "descargas/anticipo.h"
#include "encierro/encierro.h"
#include "listado/reserva.h"
#include "sftp/canales.h"
#include "sockvor.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace sockvor {

// What the library's operations ride on: the SFTP channels of a connection.
class Sesion {
  public:
    virtual ~Sesion() = default;
    virtual Canales &canales() = 0;
    // The connection under it failed, or lost every channel: it is not used again.
    virtual bool muerta() const = 0;
};

// Everything kept per (ip, login): how to open its session, the session,
// replaced when it drops, the files of the last listing with those fetched
// ahead, and what that listing's read of the folder kept for the next.
struct Destino {
    Destino(std::function<std::unique_ptr<Sesion>()> abre, std::string ip, std::string login)
        : abre(std::move(abre)), ip(ip), anticipo(std::move(ip), std::move(login)) {}

    std::function<std::unique_ptr<Sesion>()> abre;
    std::string ip;
    std::unique_ptr<Sesion> sesion;
    Anticipo anticipo;
    listado::Reserva reserva;
};

// Serialises the exported functions: the cache, the channel and the watchdog
// serve one call at a time.
std::unique_lock<std::mutex> bloqueo_global();

// The SSH destination (ip, login), kept for the life of the process.
Destino &destino(const std::string &ip, const std::string &login);
// The live session of `d`, opening one when there is none or it died; a sealed process
// opens none.
Sesion &sesion(Destino &d, bool &reusada);
// Drops the session of `d` after a failure left it unusable, and everything in
// flight on it.
void descarta(Destino &d);

// Runs `operacion` on the session of `d`. A session taken from the cache may
// have been closed by the host since its last use: when the operation finds
// the connection dropped, it is made again once and the operation repeated.
template <class Op> void con_sesion(Destino &d, Op operacion) {
    bool reusada = false;
    for (int intento = 0;; ++intento) {
        Sesion &s = sesion(d, reusada);
        try {
            operacion(s, d.anticipo);
            return;
        } catch (const Fallo &f) {
            bool perdida = f.codigo == SOCKVOR_E_CONEXION_PERDIDA;
            if (s.muerta()) {
                descarta(d);
            }
            // A sealed process makes no new connection: the loss is the failure.
            if (!perdida || !reusada || intento > 0 || sellado()) {
                throw;
            }
        }
    }
}

} // namespace sockvor
