// One remote file copied into its temporary local file, as a set of SFTP
// requests in flight. It never blocks: replies reach it through the channel,
// and whoever waits drives it.
//
// The copy is made final only when it is complete and consistent: its bytes
// run without a gap from 0 to an end-of-file the host gave, that end is the
// size the host reports for the open file after the last read, and that
// report shows the size and mtime the copy started from. The report (an FSTAT)
// goes right behind the last read on the same handle, which a host processes
// after the reads, so it costs no round trip of its own.
//
//   abriendo ──► midiendo ──► leyendo ──► confirmando ──► lista
//      │  (no size and mtime    ▲              │
//      │   from the listing)    └── reinicio ──┤ (the host's file is another
//      │                                       │  than the one started from)
//      ├──► en_pausa ──► abriendo ◄────────────┤ (refused with the generic failure,
//      │                                       │  or changed once more: another
//      ▼                                       ▼  program may hold it; within a bound)
//   fallida ◄──────────────────────────────────┘
#pragma once

#include "deposito.h"
#include "errores.h"
#include "origen.h"
#include "sftp_canal.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace sockvor {

// What every file in flight on one channel shares: open handles on the host
// and bytes asked for and not yet answered. Bounds memory and the host's load.
struct Presupuesto {
    static constexpr std::size_t handles_maximo = 128;
    static constexpr std::uint64_t bytes_maximo = 4u << 20;
    std::size_t handles = 0;
    std::uint64_t bytes = 0;
};

// One open of the file on the host: its handle and what is in flight on it.
// An open the copy no longer uses closes itself once nothing is in flight.
struct Apertura {
    std::string handle;
    bool abierta = false;
    std::map<std::uint64_t, std::uint32_t> pedidas; // reads in flight: offset, length
    bool midiendo = false;                          // a stat in flight
    bool lectura_tras_medir = false;                // a read went after that stat
};

class Descarga : public std::enable_shared_from_this<Descarga> {
  public:
    using Reloj = Transporte::Reloj;

    // `listada` is what the listing said of the file: with both its size and
    // mtime, the copy starts from it without a stat of its own. `clave` names
    // where the file comes from, for the record that lets a later run skip it.
    Descarga(CanalSftp &canal, std::shared_ptr<Presupuesto> presupuesto, std::string ruta,
             Medida listada, std::string clave, std::unique_ptr<Deposito> destino);

    void empieza();
    // Asks for more of the file while the shared budget allows; a file in its
    // pause is opened again once the pause is over.
    void continua();
    bool terminada() const { return fase_ == Fase::lista || fase_ == Fase::fallida; }
    bool fallida() const { return fase_ == Fase::fallida; }
    // When a paused file is next tried, if it is paused.
    std::optional<Reloj::time_point> reintento() const;
    // The failure, thrown again to whoever asked for the file.
    const Fallo &fallo() const { return *fallo_; }
    // The failure was local (a write), and a retry on its own may succeed.
    bool fallo_local() const { return fallo_local_; }
    // The failure came after the host was given its time: trying again at once is no use.
    bool agoto_su_plazo() const { return agoto_; }
    // Only once terminada() and not fallida(): the complete temporary file.
    std::unique_ptr<Deposito> entrega() { return std::move(destino_); }
    // Stops caring: replies still on their way are ignored, the temporary file goes.
    void abandona() noexcept;

  private:
    enum class Fase {
        nueva,
        abriendo,
        midiendo,
        leyendo,
        confirmando,
        en_pausa,
        lista,
        fallida,
        abandonada
    };
    using Ap = std::shared_ptr<Apertura>;

    bool viva() const {
        return fase_ != Fase::lista && fase_ != Fase::fallida && fase_ != Fase::abandonada;
    }
    // A reply for an open this copy no longer uses, or after it ended.
    bool ajena(const Ap &ap) const { return ap != apertura_ || !viva(); }

    // Transitions.
    void al_abrir(const Ap &ap, sftp::Respuesta &r);
    void al_medir(const Ap &ap, sftp::Respuesta &r);
    void al_leer(const Ap &ap, std::uint64_t desde, std::uint32_t largo, sftp::Respuesta &r);
    void al_confirmar(const Ap &ap, sftp::Respuesta &r);
    void lee_desde_cero(Medida base);
    void pide_confirmacion();
    void revisa();
    void decide();
    // The host refused with its generic failure, or the file changed again:
    // paused and tried anew, until the bound.
    void tropieza(Fallo f, bool cambiando);

    void pide_medida(void (Descarga::*al_responder)(const Ap &, sftp::Respuesta &));
    void pide_lectura(std::uint64_t desde, std::uint32_t largo);
    // Writes what came into the temporary file; false when that failed the file.
    bool guarda(std::uint64_t desde, std::string_view bytes);
    void suelta_apertura();
    void cierra_si_libre(const Ap &ap);
    void falla_remota(const std::string &accion, const sftp::Estado &e);
    // The host answered `pedido` ("la apertura") with a reply of another kind.
    void respuesta_ajena(const char *pedido, const sftp::Respuesta &r);
    void falla_con(int codigo, std::string texto);
    // A write of the temporary file failed: the file may succeed when retried alone.
    void falla_local(Fallo f);
    void cambio();

    CanalSftp &canal_;
    std::shared_ptr<Presupuesto> presupuesto_;
    std::string ruta_;
    Medida listada_;
    std::string clave_;
    std::unique_ptr<Deposito> destino_;
    Fase fase_ = Fase::nueva;
    std::optional<Fallo> fallo_;
    bool fallo_local_ = false;
    bool agoto_ = false;
    Ap apertura_;

    // The copy under way, from offset 0.
    Medida base_;                      // what the host said of the file when this copy started
    int reinicios_ = 0;                // copies started over because the file was another
    std::uint64_t siguiente_ = 0;      // next offset to ask for
    std::optional<std::uint64_t> fin_; // lowest offset the host answered end-of-file at
    bool excede_ = false;              // data came from past base_.tamano
    std::uint64_t recibido_ = 0;       // bytes written
    std::uint64_t maximo_ = 0;         // furthest byte written
    std::optional<Medida> confirmada_; // the confirming stat's answer

    // Tries again after the host's generic failure or a file that kept changing.
    std::optional<Reloj::time_point> primer_tropiezo_;
    Reloj::time_point reintento_{};
    Reloj::duration pausa_ = std::chrono::milliseconds(500);
};

} // namespace sockvor
