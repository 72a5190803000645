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

#include "deposito/deposito.h"
#include "deposito/origen.h"
#include "errores.h"
#include "sftp/canal.h"
#include "sftp/canales.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sockvor {

// One open of the file on one channel: its handle and what is in flight on
// it. A large file is open on several channels at once, each reading its own
// parts; an open the copy no longer uses closes itself once nothing is in flight.
struct Apertura {
    explicit Apertura(CanalSftp &c) : canal(&c) {}
    CanalSftp *canal;
    std::string handle;
    bool abriendo = true;
    bool abierta = false;
    std::map<std::uint64_t, std::uint32_t> pedidas; // reads in flight: offset, length
    bool leyo = false;                              // a read went on it in this copy
    bool midiendo = false;                          // a stat in flight
    bool lectura_tras_medir = false;                // a read went after that stat
    std::optional<Medida> medida;                   // the last stat's answer
};

class Descarga : public std::enable_shared_from_this<Descarga> {
  public:
    using Reloj = Red::Reloj;

    // The copy starts on `canal`, one of `canales`. `listada` is what the
    // listing said of the file: with both its size and mtime, the copy starts
    // from it without a stat of its own. `clave` names where the file comes
    // from, for the record that lets a later run skip it.
    Descarga(Canales &canales, CanalSftp &canal, std::string ruta, Medida listada,
             std::string clave, std::unique_ptr<Deposito> destino);

    void empieza();
    // Asks for more of the file while the channels' budgets allow; a file in
    // its pause is opened again once the pause is over.
    void continua();
    bool terminada() const { return fase_ == Fase::lista || fase_ == Fase::fallida; }
    bool fallida() const { return fase_ == Fase::fallida; }
    // When a paused file is next tried, if it is paused.
    std::optional<Reloj::time_point> reintento() const;
    // It awaits replies, and the host has answered nothing of it for `cuanto`.
    bool estancada(Reloj::duration cuanto) const;
    // While held, it asks for nothing more (no read, no new try); what is in
    // flight is still taken.
    void frena(bool si) { frenada_ = si; }
    // The failure, thrown again to whoever asked for the file.
    const Fallo &fallo() const { return *fallo_; }
    // The failure was local (a write), and a retry on its own may succeed.
    bool fallo_local() const { return fallo_local_; }
    // The failure came after the host was given its time: trying again at once is no use.
    bool agoto_su_plazo() const { return agoto_; }
    // The command asks for it now. Fetched ahead, it may have been refused long
    // before; one by one, its first try would be now: it is tried at once, and
    // its bound counts from here.
    void en_su_turno();
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
    bool ajena(const Ap &ap) const;
    // No read is left to ask for.
    bool sin_mas_lecturas() const;
    // Some request of it awaits its reply.
    bool espera_respuesta() const;
    // Notes a request about to go, or a reply that came (estancada).
    void anota_pedido();
    void anota_respuesta() { ultima_noticia_ = canales_.ahora(); }

    // Transitions.
    void abre(CanalSftp &canal);
    void al_abrir(const Ap &ap, sftp::Respuesta &r);
    void al_medir(const Ap &ap, sftp::Respuesta &r);
    void al_leer(const Ap &ap, std::uint64_t desde, std::uint32_t largo, sftp::Respuesta &r);
    void al_confirmar(const Ap &ap, sftp::Respuesta &r);
    void lee_desde_cero(Medida base);
    void lee(Apertura &ap);
    // Enough left to read, over a far link, to be worth reading over several channels.
    bool por_varios_canales() const;
    void quiza_otra_apertura();
    void revisa();
    void decide(const Medida &ahora);
    // The host refused with its generic failure, or the file changed again:
    // paused and tried anew, until the bound.
    void tropieza(Fallo f, bool cambiando);

    void pide_medida(const Ap &ap, void (Descarga::*al_responder)(const Ap &, sftp::Respuesta &));
    void pide_lectura(const Ap &ap, std::uint64_t desde, std::uint32_t largo);
    // Writes what came into the temporary file; false when that failed the file.
    bool guarda(std::uint64_t desde, std::string_view bytes);
    void suelta_aperturas(std::size_t desde = 0);
    void cierra_si_libre(const Ap &ap);
    void falla_remota(const std::string &accion, const sftp::Estado &e);
    // The host answered `pedido` ("la apertura") with a reply of another kind.
    void respuesta_ajena(const char *pedido, const sftp::Respuesta &r);
    void falla_con(int codigo, std::string texto);
    // A write of the temporary file failed: the file may succeed when retried alone.
    void falla_local(Fallo f);
    void cambio();

    Canales &canales_;
    CanalSftp *primer_canal_;
    std::string ruta_;
    Medida listada_;
    std::string clave_;
    std::unique_ptr<Deposito> destino_;
    Fase fase_ = Fase::nueva;
    std::optional<Fallo> fallo_;
    bool fallo_local_ = false;
    bool agoto_ = false;
    bool frenada_ = false;
    Reloj::time_point ultima_noticia_{}; // the last reply, or the first request after none
    std::vector<Ap> aperturas_;          // the first measures the file and reads; others only read

    // The copy under way, from offset 0.
    Medida base_;                      // what the host said of the file when this copy started
    int reinicios_ = 0;                // copies started over because the file was another
    std::uint64_t siguiente_ = 0;      // next offset to ask for
    std::optional<std::uint64_t> fin_; // lowest offset the host answered end-of-file at
    bool excede_ = false;              // data came from past base_.tamano
    std::uint64_t recibido_ = 0;       // bytes written
    std::uint64_t maximo_ = 0;         // furthest byte written

    // Tries again after the host's generic failure or a file that kept changing.
    std::optional<Reloj::time_point> primer_tropiezo_;
    Reloj::time_point reintento_{};
    static constexpr Reloj::duration pausa_inicial = std::chrono::milliseconds(500);
    Reloj::duration pausa_ = pausa_inicial; // doubles with each try: a held file is not hammered
};

} // namespace sockvor
