// One read of the folder for both listings of a run. The command lists a
// month's Acuses, fetches them, then lists the month before in the same
// folder of the same host, seconds later; the folder holds every month, and
// SFTP makes the host enumerate and stat all of it for each listing. So the
// read for a month also keeps the names of the month before (all that can be
// asked for next: memory stays within one list), and the next listing, if it
// asks for exactly that in the same folder of the same host and login, is
// answered from them: the run sees the folder as it was when it looked, once.
#pragma once

#include "listado/hallazgos.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace sockvor::listado {

// "*201304*.xml" for "*201305*.xml", "*201212*.xml" for "*201301*.xml": what
// the command lists after `patron`. Nothing for a pattern of any other shape.
std::optional<std::string> mes_anterior(std::string_view patron);

// Kept per host and login (see Destino).
class Reserva {
  public:
    using Reloj = std::chrono::steady_clock;

    // A run lists its second month once its first month's files are in: a
    // listing later than this reads the folder again, whoever calls.
    static constexpr std::chrono::minutes vigencia{10};

    void guarda(std::string carpeta, Hallazgos hallazgos, Reloj::time_point cuando);
    // What was kept from a read of `carpeta` for `patron` within `vigencia` of
    // `ahora`. It serves the one listing after that read: whatever that asks
    // for, nothing stays kept.
    std::optional<Hallazgos> toma(const std::string &carpeta, const std::string &patron,
                                  Reloj::time_point ahora);

  private:
    struct Guardada {
        std::string carpeta;
        Hallazgos hallazgos;
        Reloj::time_point cuando;
    };
    std::optional<Guardada> guardada_;
};

} // namespace sockvor::listado
