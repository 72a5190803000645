#include "listado/lectura.h"

#include "errores.h"
#include "sockvor.h"

#include <algorithm>
#include <optional>

namespace sockvor::listado {

namespace {

// What an entry takes in its answer besides its two names: their lengths and
// the attributes a host commonly sends (flags, size, owner, permissions, times).
constexpr std::size_t resto_de_entrada = 4 + 4 + 32;

std::size_t bytes_de(const sftp::Nombres &n) {
    std::size_t b = 0;
    for (const auto &e : n.entradas) {
        b += e.nombre.size() + e.largo.size() + resto_de_entrada;
    }
    return b;
}

// The READDIRs in flight on the folder's handle, and how many there may be:
// one more for every answer that brought names, so twice as many each round
// trip, up to the bytes the answers seen so far say the link needs.
class Tanda {
  public:
    explicit Tanda(bool lejos) : permitidas_(lejos ? Ritmo::al_empezar_lejos : Ritmo::al_empezar) {}

    bool cabe_otra() const { return en_vuelo_ < permitidas_; }
    void pedida() { ++en_vuelo_; }
    void respondida() { --en_vuelo_; }
    bool vacia() const { return en_vuelo_ == 0; }

    void con_nombres(std::size_t bytes) {
        ++respuestas_;
        bytes_ += bytes;
        std::size_t media = std::max<std::size_t>(bytes_ / respuestas_, 1);
        std::size_t tope =
            std::clamp(Ritmo::bytes_en_vuelo / media, Ritmo::al_empezar, Ritmo::maximo);
        // Large batches may bring it down, even below where it started.
        permitidas_ = std::min(permitidas_ + 1, tope);
    }

  private:
    std::size_t permitidas_;
    std::size_t en_vuelo_ = 0;
    std::size_t respuestas_ = 0;
    std::size_t bytes_ = 0;
};

std::string abre(Canales &canales, CanalSftp &canal, const std::string &carpeta) {
    const std::string accion = "abrir la carpeta " + carpeta;
    std::optional<sftp::Respuesta> abierta;
    canal.pide([&](std::uint32_t id) { return sftp::pide_opendir(id, carpeta); },
               [&](sftp::Respuesta &r) { abierta = std::move(r); });
    canales.atiende([&] { return abierta.has_value(); }, accion);
    auto *h = std::get_if<sftp::Handle>(&abierta->cuerpo);
    if (!h) {
        auto *e = std::get_if<sftp::Estado>(&abierta->cuerpo);
        falla(SOCKVOR_E_CARPETA, "No se pudo " + accion + " en el host " + canal.host() + ": " +
                                     (e ? explica(*e) : "respuesta inesperada"));
    }
    return h->valor;
}

} // namespace

void lee_carpeta(Canales &canales, const std::string &carpeta,
                 const std::function<void(const sftp::Entrada &)> &cada) {
    CanalSftp &canal = canales.alguno();
    const std::string handle = abre(canales, canal, carpeta);
    const std::string accion = "leer la carpeta " + carpeta;
    auto fallo_de = [&](const std::string &causa) {
        return Fallo{SOCKVOR_E_CARPETA,
                     "No se pudo " + accion + " en el host " + canal.host() + ": " + causa};
    };

    Tanda tanda(canales.lejos());
    std::optional<Fallo> fallo;
    // The end of the list may come while later READDIRs are still in flight: a
    // host that answers out of order may have given them batches, which count.
    bool fin = false;
    std::size_t nombres = 0;
    std::function<void()> pide_mas = [&] {
        while (!fin && !fallo && tanda.cabe_otra()) {
            tanda.pedida();
            canal.pide([&](std::uint32_t id) { return sftp::pide_readdir(id, handle); },
                       [&](sftp::Respuesta &r) {
                           tanda.respondida();
                           if (auto *n = std::get_if<sftp::Nombres>(&r.cuerpo)) {
                               // An empty batch counts as one: it must not go on for ever either.
                               nombres += std::max<std::size_t>(n->entradas.size(), 1);
                               if (!fallo) {
                                   for (const auto &e : n->entradas) {
                                       cada(e);
                                   }
                               }
                               if (nombres > nombres_maximos && !fallo) {
                                   fallo =
                                       fallo_de("dio más de " + std::to_string(nombres_maximos) +
                                                " nombres sin llegar al final; se abandona");
                               }
                               if (!n->entradas.empty()) {
                                   tanda.con_nombres(bytes_de(*n));
                               }
                           } else if (auto *e = std::get_if<sftp::Estado>(&r.cuerpo);
                                      e && e->codigo == sftp::FX_EOF) {
                               fin = true;
                           } else if (!fallo) {
                               // Whether it came before the end or after, the
                               // batch it stands for may be missing from the list.
                               fallo = fallo_de(e ? explica(*e) : "respuesta inesperada");
                           }
                           pide_mas();
                       });
        }
    };
    pide_mas();
    canales.atiende([&] { return (fin || fallo) && tanda.vacia(); }, accion);
    // Nobody waits for the close: the next request's answer comes after it.
    canal.pide([&](std::uint32_t id) { return sftp::pide_close(id, handle); },
               [](sftp::Respuesta &) {});
    if (fallo) {
        throw *fallo;
    }
}

} // namespace sockvor::listado
