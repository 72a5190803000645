// fechas: the date family for shell scripts. One question a run, the answer on
// standard output; a refused date or day number is exit status 1 and one line in
// Spanish on standard error, a wrong command line status 2 and the usage.
#include "fechas.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

enum Salida { kBien = 0, kRechazo = 1, kUso = 2 };

constexpr const char *kUsoTexto =
    "uso: fechas dias FECHA | fecha DIAS | semana FECHA | diferencia FECHA1 FECHA2 | hoy\n";

int rechaza(const char *motivo, const char *argumento) {
    std::fprintf(stderr, "fechas: %s: %s\n", motivo, argumento);
    return kRechazo;
}

int responde(long long n) {
    std::printf("%lld\n", n);
    return kBien;
}

int dias(const char *texto) {
    const std::int64_t n = fechstrdias(texto);
    return n < 0 ? rechaza("fecha no válida", texto) : responde(n);
}

int fecha(const char *numero) {
    const char *fin = numero + std::strlen(numero);
    std::int64_t n = 0;
    const auto leido = std::from_chars(numero, fin, n);
    if (leido.ec != std::errc{} || leido.ptr != fin)
        return rechaza("número de día no válido", numero);
    const char *texto = fechdiasstr(n);
    if (texto[0] == '\0')
        return rechaza("número de día fuera de 1 a 73050", numero);
    std::printf("%s\n", texto);
    return kBien;
}

int semana(const char *texto) {
    const std::int32_t dia = diasemstr(texto);
    return dia < 0 ? rechaza("fecha no válida", texto) : responde(dia);
}

// difdias reads an empty second text as a request to move the first date (and
// writes it), so an empty argument is refused here as the date it is not; any
// other second text difdias only reads.
int diferencia(const char *desde, char *hasta) {
    if (fechstrdias(desde) < 0)
        return rechaza("fecha no válida", desde);
    std::int64_t n = 0;
    if (hasta[0] == '\0' || difdias(desde, hasta, &n) != 0)
        return rechaza("fecha no válida", hasta);
    return responde(n);
}

int hoy() {
    char texto[9];
    if (fechoystr(texto)[0] == '\0') {
        std::fputs("fechas: la fecha de hoy no tiene texto de ocho caracteres\n", stderr);
        return kRechazo;
    }
    std::printf("%s\n", texto);
    return kBien;
}

} // namespace

int main(int argc, char **argv) {
    const std::string orden = argc > 1 ? argv[1] : "";
    int estado = -1;
    if (orden == "dias" && argc == 3)
        estado = dias(argv[2]);
    else if (orden == "fecha" && argc == 3)
        estado = fecha(argv[2]);
    else if (orden == "semana" && argc == 3)
        estado = semana(argv[2]);
    else if (orden == "diferencia" && argc == 4)
        estado = diferencia(argv[2], argv[3]);
    else if (orden == "hoy" && argc == 2)
        estado = hoy();
    if (estado < 0) {
        std::fputs(kUsoTexto, stderr);
        return kUso;
    }
    // A write that failed (a closed pipe, a full disk) must not pass for an answer.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("fechas: no se pudo escribir la respuesta\n", stderr);
        return kRechazo;
    }
    return estado;
}
