// What one name pattern takes from a folder's entries as they are read: the
// regular files it matches, each once, and the names it matches only regardless
// of case. Memory stays within what a list can hand over, however many
// entries the folder holds or the host sends.
#pragma once

#include "rutas.h"
#include "sftp/mensajes.h"
#include "sockvor.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sockvor::listado {

struct Hallado {
    std::string nombre;
    std::optional<std::uint64_t> tamano;
    std::optional<std::uint32_t> mtime;
};

class Hallazgos {
  public:
    explicit Hallazgos(std::string patron) : patron_(std::move(patron)) {}

    const std::string &patron() const { return patron_; }
    void anota(const sftp::Entrada &e);

    // The names for the list, sorted; or the listing's failure when one of
    // them could not be split from it (the first in that order), or they do
    // not fit it. `ruta` and `ip` name the folder and host in its text.
    std::vector<Hallado> entrega(const RutaRemota &ruta, const std::string &ip) &&;
    // Sorted, each once; for a notice each.
    const std::set<std::string> &solo_ignorando_mayusculas() const { return solo_mayusculas_; }

  private:
    std::string patron_;
    std::map<std::string, Hallado> hallados_;
    // Every match counts, kept or not, for the text of a list that cannot hold them.
    std::size_t cuantos_ = 0;
    std::size_t bytes_ = 0;
    // Past the list's size the names are no longer kept: they could not be handed over.
    bool desbordados() const { return bytes_ > SOCKVOR_TAM_LISTA; }
    std::optional<std::string> inseparable_; // the first in sort order
    std::set<std::string> solo_mayusculas_;
    std::size_t bytes_mayusculas_ = 0;
};

} // namespace sockvor::listado
