#include "conexion.h"

#include "errores.h"
#include "ssh/canal_ssh.h"
#include "ssh/ssh.h"

#include <map>

namespace sockvor {

namespace {

std::mutex &mutex_global() {
    static auto *m = new std::mutex;
    return *m;
}

// Heap-held and torn down at exit by the SSH layer's handler rather than by a
// static destructor: ending a session needs the crypto library, whose own exit
// cleanup may already have run by the time static destructors do.
std::map<std::string, std::unique_ptr<Destino>> *destinos = nullptr;

void al_salir() {
    auto bloqueo = bloqueo_global();
    // Files fetched ahead go with their temporary files; then each session ends.
    if (destinos) {
        for (auto &[clave, d] : *destinos) {
            d->anticipo.abandona();
        }
    }
    delete destinos;
    destinos = nullptr;
}

std::string clave(const std::string &ip, const std::string &login) {
    return ip + std::string(1, '\0') + login;
}

class SesionConectada final : public Sesion {
  public:
    SesionConectada(const std::string &ip, const std::string &login)
        : ssh_(conecta(ip, login)), red_(*ssh_), canales_(red_, red_.primer_canal()) {}

    Canales &canales() override { return canales_; }
    bool muerta() const override { return ssh_->muerta || canales_.rotos(); }

  private:
    // Declared in the order they are made; each ends before what it rides on.
    std::unique_ptr<ConexionSsh> ssh_;
    RedSsh red_;
    Canales canales_;
};

} // namespace

std::unique_lock<std::mutex> bloqueo_global() {
    return std::unique_lock(mutex_global());
}

Destino &destino(const std::string &ip, const std::string &login) {
    inicializa_ssh(al_salir);
    if (!destinos) {
        destinos = new std::map<std::string, std::unique_ptr<Destino>>;
    }
    auto &d = (*destinos)[clave(ip, login)];
    if (!d) {
        d = std::make_unique<Destino>(
            [ip, login]() -> std::unique_ptr<Sesion> {
                return std::make_unique<SesionConectada>(ip, login);
            },
            ip, login);
    }
    return *d;
}

Sesion &sesion(Destino &d, bool &reusada) {
    vigia().olvida_disparo();
    if (d.sesion && !d.sesion->muerta()) {
        reusada = true;
        return *d.sesion;
    }
    descarta(d);
    reusada = false;
    if (sellado()) {
        falla(SOCKVOR_E_CONEXION_PERDIDA,
              "No se puede conectar de nuevo con el host " + d.ip +
                  ": este proceso, una vez autenticado, no abre más conexiones");
    }
    d.sesion = d.abre();
    return *d.sesion;
}

void descarta(Destino &d) {
    d.anticipo.suelta_transferencias();
    d.sesion.reset();
}

} // namespace sockvor
