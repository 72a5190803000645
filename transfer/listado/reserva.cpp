#include "listado/reserva.h"

#include <charconv>
#include <cstdio>

namespace sockvor::listado {

std::optional<std::string> mes_anterior(std::string_view patron) {
    // "*YYYYMM*.xml", as the command writes it for a year of four digits.
    constexpr std::string_view fin = "*.xml";
    if (patron.size() != 1 + 6 + fin.size() || patron.front() != '*' || patron.substr(7) != fin) {
        return std::nullopt;
    }
    auto numero = [&](std::size_t desde, std::size_t largo) {
        int n = -1;
        auto texto = patron.substr(desde, largo);
        auto [fin_leido, error] = std::from_chars(texto.data(), texto.data() + largo, n);
        return error == std::errc() && fin_leido == texto.data() + largo ? n : -1;
    };
    int anio = numero(1, 4), mes = numero(5, 2);
    if (mes < 1 || mes > 12 || anio < 1000) {
        return std::nullopt;
    }
    if (--mes == 0) {
        mes = 12;
        --anio;
    }
    if (anio < 1000) {
        return std::nullopt;
    }
    char texto[32];
    std::snprintf(texto, sizeof texto, "*%04d%02d*.xml", anio, mes);
    return std::string(texto);
}

void Reserva::guarda(std::string carpeta, Hallazgos hallazgos, Reloj::time_point cuando) {
    guardada_.emplace(Guardada{std::move(carpeta), std::move(hallazgos), cuando});
}

std::optional<Hallazgos> Reserva::toma(const std::string &carpeta, const std::string &patron,
                                       Reloj::time_point ahora) {
    std::optional<Guardada> g = std::move(guardada_);
    guardada_.reset();
    if (!g || g->carpeta != carpeta || g->hallazgos.patron() != patron ||
        ahora - g->cuando > vigencia) {
        return std::nullopt;
    }
    return std::move(g->hallazgos);
}

} // namespace sockvor::listado
