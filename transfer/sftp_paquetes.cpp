#include "sftp_paquetes.h"

#include <cstdint>

namespace sockvor::sftp {

char *Ensamblador::espacio(std::size_t n) {
    // What is unread moves to the front: at most one packet's worth.
    if (inicio_ > 0) {
        std::copy(datos_.begin() + static_cast<std::ptrdiff_t>(inicio_),
                  datos_.begin() + static_cast<std::ptrdiff_t>(fin_), datos_.begin());
        fin_ -= inicio_;
        inicio_ = 0;
    }
    if (datos_.size() < fin_ + n) {
        datos_.resize(fin_ + n);
    }
    return datos_.data() + fin_;
}

std::optional<std::string_view> Ensamblador::siguiente(std::string &motivo) {
    std::string_view resto(datos_.data() + inicio_, fin_ - inicio_);
    if (resto.size() < 4) {
        return std::nullopt;
    }
    std::uint32_t largo = 0;
    for (int i = 0; i < 4; ++i) {
        largo = (largo << 8) | static_cast<std::uint8_t>(resto[static_cast<std::size_t>(i)]);
    }
    if (largo == 0 || largo > paquete_maximo) {
        motivo = "paquete de " + std::to_string(largo) + " bytes";
        return std::nullopt;
    }
    if (resto.size() - 4 < largo) {
        return std::nullopt;
    }
    inicio_ += 4 + largo;
    return resto.substr(4, largo);
}

} // namespace sockvor::sftp
