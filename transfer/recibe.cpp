// RecibeArchivo: one remote file to one local path, with as few round trips
// as the protocol allows.
#include "conexion.h"
#include "deposito.h"
#include "frontera.h"
#include "rutas.h"

#include <algorithm>
#include <deque>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <vector>

namespace sockvor {

namespace {

// 32 KiB is the read size every SFTP server must honour.
constexpr std::uint32_t trozo = 32768;
constexpr std::size_t en_vuelo_maximo = 32;

struct Pedido {
    std::uint64_t desde;
    std::uint32_t largo;
    std::uint32_t id;
};

// SFTP only tells the end of a file through an EOF answer; a short read may
// come anywhere. So a read is never taken as the last one until an EOF answer
// at its end arrives, and a short read asks again for what is missing. With
// the size known from the listing, the request for the whole file and the one
// byte probe past its end leave together: a small file costs one round trip.
class Lector {
  public:
    Lector(Sesion &s, sftp_file archivo, std::string ruta, std::optional<std::uint64_t> tamano)
        : s_(s), archivo_(archivo), ruta_(std::move(ruta)), tamano_(tamano),
          ventana_(tamano ? en_vuelo_maximo : 2), espacio_(trozo) {}

    void lee(Deposito &destino) {
        try {
            llena_ventana();
            while (!pendientes_.empty()) {
                Pedido p = pendientes_.front();
                pendientes_.pop_front();
                int n = espera(p);
                if (n < 0) {
                    s_.falla_llamada(SOCKVOR_E_REMOTO, "leer " + ruta_);
                }
                recibe(p, static_cast<std::uint32_t>(n), destino);
                llena_ventana();
            }
        } catch (...) {
            descarta_pendientes();
            throw;
        }
        if (fin_ == sin_fin || maximo_ > fin_ || recibido_ != fin_) {
            falla(SOCKVOR_E_REMOTO, "El archivo " + ruta_ + " del host " + s_.host +
                                        " cambió mientras se leía; vuelva a intentarlo");
        }
    }

  private:
    static constexpr std::uint64_t sin_fin = std::numeric_limits<std::uint64_t>::max();

    void pide(std::uint64_t desde, std::uint32_t largo) {
        sftp_seek64(archivo_, desde);
        int id = s_.vigilado([&] { return sftp_async_read_begin(archivo_, largo); });
        if (id < 0) {
            s_.falla_llamada(SOCKVOR_E_REMOTO, "leer " + ruta_);
        }
        pendientes_.push_back({desde, largo, static_cast<std::uint32_t>(id)});
    }

    void llena_ventana() {
        while (fin_ == sin_fin && pendientes_.size() < ventana_) {
            // Past the probe only once it has shown the file grew since the listing.
            if (tamano_ && siguiente_ > *tamano_ && maximo_ <= *tamano_) {
                return;
            }
            std::uint32_t largo = trozo;
            if (tamano_ && siguiente_ < *tamano_) {
                largo = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(trozo, *tamano_ - siguiente_));
            } else if (tamano_ && siguiente_ == *tamano_) {
                largo = 1;
            }
            pide(siguiente_, largo);
            siguiente_ += largo;
        }
    }

    int espera(const Pedido &p) {
        // libssh answers 0 to every read once it has seen one EOF on the handle;
        // a seek clears that, and our offsets travel with each request anyway.
        sftp_seek64(archivo_, p.desde);
        return s_.vigilado(
            [&] { return sftp_async_read(archivo_, espacio_.data(), p.largo, p.id); });
    }

    void recibe(const Pedido &p, std::uint32_t n, Deposito &destino) {
        if (n == 0) {
            fin_ = std::min(fin_, p.desde);
            return;
        }
        destino.escribe(p.desde, espacio_.data(), n);
        recibido_ += n;
        maximo_ = std::max(maximo_, p.desde + n);
        if (n < p.largo) {
            pide(p.desde + n, p.largo - n);
        } else if (ventana_ < en_vuelo_maximo) {
            ventana_ *= 2;
        }
    }

    // Answers left unread would stay queued in the SFTP session for good.
    void descarta_pendientes() noexcept {
        while (!pendientes_.empty() && !vigia().disparo() && ssh_is_connected(s_.ssh.get())) {
            Pedido p = pendientes_.front();
            pendientes_.pop_front();
            if (espera(p) < 0 && !ssh_is_connected(s_.ssh.get())) {
                break;
            }
        }
        pendientes_.clear();
    }

    Sesion &s_;
    sftp_file archivo_;
    std::string ruta_;
    std::optional<std::uint64_t> tamano_;
    std::size_t ventana_;
    std::vector<char> espacio_;
    std::deque<Pedido> pendientes_;
    std::uint64_t siguiente_ = 0;
    std::uint64_t fin_ = sin_fin;
    std::uint64_t maximo_ = 0;
    std::uint64_t recibido_ = 0;
};

void trae(Sesion &s, const std::string &ruta, const std::string &local) {
    // Local trouble shows before any round trip.
    Deposito destino(local);
    ArchivoRemoto archivo(
        s.vigilado([&] { return sftp_open(s.sftp.get(), ruta.c_str(), O_RDONLY, 0); }),
        CierraVigilado{s.fd, s.plazo});
    if (!archivo) {
        s.falla_llamada(SOCKVOR_E_REMOTO, "abrir " + ruta);
    }
    std::optional<std::uint64_t> tamano;
    if (auto it = s.tamanos.find(ruta); it != s.tamanos.end()) {
        tamano = it->second;
    }
    Lector(s, archivo.get(), ruta, tamano).lee(destino);
    archivo.reset();
    destino.confirma();
}

int recibe(const char *ip_c, const char *login_c, const char *remoto, const char *local) {
    if (!ip_c || !login_c || !remoto || !local) {
        falla(SOCKVOR_E_ARGUMENTO, "RecibeArchivo recibió un argumento nulo");
    }
    auto ruta = ruta_sftp(remoto);
    if (!ruta || tiene_comodin(ruta->nombre)) {
        falla(SOCKVOR_E_ARGUMENTO,
              "La ruta remota \"" + visible(remoto) + "\" no nombra un archivo");
    }
    std::string completa =
        ruta->carpeta == "/" ? "/" + ruta->nombre : ruta->carpeta + "/" + ruta->nombre;
    IgnoraSigxfsz sin_sigxfsz;
    con_sesion(ip_c, login_c, [&](Sesion &s) { trae(s, completa, local); });
    return SOCKVOR_OK;
}

} // namespace

} // namespace sockvor

SOCKVOR_EXPORTA int RecibeArchivo(const char *ip, const char *login, const char *remoto,
                                  const char *local, char *error) {
    if (!error) {
        return SOCKVOR_E_ARGUMENTO;
    }
    error[0] = '\0';
    return sockvor::frontera(error, [&] { return sockvor::recibe(ip, login, remoto, local); });
}
