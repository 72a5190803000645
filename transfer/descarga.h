// One remote file copied into its temporary local file, as a set of SFTP
// requests in flight: open, reads (several outstanding), close. It never
// blocks: replies reach it through the channel, and whoever waits drives it.
#pragma once

#include "deposito.h"
#include "errores.h"
#include "sftp_canal.h"

#include <cstdint>
#include <limits>
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

class Descarga : public std::enable_shared_from_this<Descarga> {
  public:
    // `tamano` is the size the listing gave, if any: it plans the reads without a
    // stat. `mtime` is recorded with the deposit when the copy matches it.
    Descarga(CanalSftp &canal, std::shared_ptr<Presupuesto> presupuesto, std::string ruta,
             std::optional<std::uint64_t> tamano, std::optional<std::uint32_t> mtime,
             std::unique_ptr<Deposito> destino);

    void empieza();
    // Asks for more of the file while the shared budget allows.
    void continua();
    bool terminada() const { return estado_ == Estado::lista || estado_ == Estado::fallida; }
    bool fallida() const { return estado_ == Estado::fallida; }
    // The failure, thrown again to whoever asked for the file.
    const Fallo &fallo() const { return *fallo_; }
    // The failure was local (a write), and a retry on its own may succeed.
    bool fallo_local() const { return fallo_local_; }
    // Only once terminada() and not fallida(): the complete temporary file.
    std::unique_ptr<Deposito> entrega() { return std::move(destino_); }
    // Stops caring: replies still on their way are ignored, the temporary file goes.
    void abandona() noexcept;

  private:
    enum class Estado { nueva, abriendo, midiendo, leyendo, lista, fallida, abandonada };
    static constexpr std::uint64_t sin_fin = std::numeric_limits<std::uint64_t>::max();

    bool viva() const {
        return estado_ != Estado::lista && estado_ != Estado::fallida &&
               estado_ != Estado::abandonada;
    }
    void al_abrir(sftp::Respuesta &r);
    void al_medir(sftp::Atributos a);
    void al_leer(std::uint64_t desde, std::uint32_t largo, sftp::Respuesta &r);
    void pide_lectura(std::uint64_t desde, std::uint32_t largo);
    void pide_medida();
    // Writes what came into the temporary file; false when that failed the file.
    bool guarda(std::uint64_t desde, std::string_view bytes);
    void revisa_fin();
    void cierra_handle();
    void falla_remota(const std::string &accion, const sftp::Estado &e);
    // The host answered `pedido` ("la apertura") with a reply of another kind.
    void respuesta_ajena(const char *pedido);
    void falla_con(int codigo, std::string texto);
    // A write of the temporary file failed: the file may succeed when retried alone.
    void falla_local(Fallo f);
    void cambio();

    CanalSftp &canal_;
    std::shared_ptr<Presupuesto> presupuesto_;
    std::string ruta_;
    std::optional<std::uint64_t> tamano_listado_;
    std::optional<std::uint32_t> mtime_;
    std::unique_ptr<Deposito> destino_;
    Estado estado_ = Estado::nueva;
    std::optional<Fallo> fallo_;
    bool fallo_local_ = false;
    std::string handle_;
    bool handle_abierto_ = false;
    bool remedida_ = false; // a stat already re-measured the file once
    // The size found at open: nothing beyond it is written, save one read that shows
    // the file grew.
    std::uint64_t limite_ = sin_fin;
    std::uint64_t siguiente_ = 0; // next offset to ask for; limite_ + 1 once the probe went
    std::uint64_t fin_ = sin_fin; // lowest offset the host answered end-of-file at
    std::uint64_t recibido_ = 0;
    std::uint64_t maximo_ = 0;
    std::map<std::uint64_t, std::uint32_t> pedidas_; // reads in flight: offset, length
};

} // namespace sockvor
