#include "sftp/paquetes.h"

#include <cstdint>

namespace sockvor::sftp {

void Ensamblador::agrega(std::string_view bytes) {
    const std::size_t n = bytes.size();
    // What is unread moves to the front: at most one packet's worth.
    if (inicio_ > 0) {
        std::copy(datos_.get() + inicio_, datos_.get() + fin_, datos_.get());
        fin_ -= inicio_;
        inicio_ = 0;
    }
    if (capacidad_ < fin_ + n) {
        // Twice what is needed: data that comes in many small pieces between two
        // looks at it is appended without a copy of all of it each time.
        std::size_t nueva = 2 * (fin_ + n);
        auto otros = std::make_unique_for_overwrite<char[]>(nueva);
        std::copy(datos_.get(), datos_.get() + fin_, otros.get());
        datos_ = std::move(otros);
        capacidad_ = nueva;
    }
    std::copy(bytes.begin(), bytes.end(), datos_.get() + fin_);
    fin_ += n;
}

std::optional<std::string_view> Ensamblador::siguiente(std::string &motivo) {
    std::string_view resto(datos_.get() + inicio_, fin_ - inicio_);
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
