// The local side of a fetch: a file that appears at its destination whole and
// on disk, or not at all.
#pragma once

#include "deposito/asegurador.h"
#include "deposito/origen.h"
#include "recursos.h"

#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sockvor {

class Deposito {
  public:
    // Fails with SOCKVOR_E_LOCAL before anything is fetched when the
    // destination cannot be written: a folder, a missing folder, no permission.
    // Leftover temporary files of the same name from a run that died go first.
    explicit Deposito(std::string destino);
    Deposito(const Deposito &) = delete;
    Deposito &operator=(const Deposito &) = delete;
    // Without confirma() the temporary file goes and the destination stays as it was.
    ~Deposito();

    void escribe(std::uint64_t desde, const char *datos, std::size_t largo);
    // Drops what was written: the copy starts over.
    void vacia();
    // All the data is in. Takes the host's modification time, records the remote
    // file it holds, each when given, and starts putting it on disk.
    void termina(std::optional<std::uint32_t> mtime_host,
                 const std::optional<Procedencia> &procedencia);
    // Whether the data is on disk yet (after termina()), without waiting.
    bool asegurado();
    // Waits until the data is on disk, then renames it over the destination; the
    // folder is synced later, by exit at the latest (see carpetas.h).
    void confirma();

    const std::string &destino() const { return destino_; }

  private:
    [[noreturn]] void falla_local(const std::string &accion, int numero) const;
    void empuja_escritura(std::uint64_t hasta);

    std::string destino_;
    std::string carpeta_;
    std::string temporal_;
    Descriptor fd_;
    int anotado_ = -1;
    std::uint64_t escrito_ = 0;  // the furthest byte written
    std::uint64_t empujado_ = 0; // writeback started up to here
    std::shared_ptr<Constancia> constancia_;
    bool confirmado_ = false;
};

// A process under `ulimit -f` is killed by SIGXFSZ when a write crosses the
// limit; while this lives, such a write fails with EFBIG instead and becomes an
// ordinary local failure.
class IgnoraSigxfsz {
  public:
    IgnoraSigxfsz();
    IgnoraSigxfsz(const IgnoraSigxfsz &) = delete;
    IgnoraSigxfsz &operator=(const IgnoraSigxfsz &) = delete;
    ~IgnoraSigxfsz();

  private:
    struct sigaction previa_ {};
};

} // namespace sockvor
