#include "texto.h"

using namespace fechas_interno;

// Day 1, 1 January 1900, was a Monday, so the remainder modulo 7 is the weekday
// counted from Sunday.

std::int32_t diasemdias(std::int64_t dias) {
    marca("funcion: diasemdias()");
    if (dias < 0)
        return -1;
    return static_cast<std::int32_t>(dias % 7);
}

std::int32_t diasemstr(const char *texto) {
    marca("funcion: diasemstr()");
    const std::int64_t dias = fechas_interno::fechstrdias(texto);
    if (dias < 0)
        return -1;
    return static_cast<std::int32_t>(dias % 7);
}

// The sign is not tested: a refusal (-1) stays -1, and a day number at or below 0
// gives a remainder from -6 to 0.
std::int32_t diasemarr(std::int32_t fecha[3]) {
    return sobre_arreglo(fecha, [](Fecha &f) {
        // Once its own check passes, fecharrdias's marker covers the whole of this
        // routine's, so this one is written only when it is the last.
        if (valida_fecha_semana(f) != 0) {
            marca("funcion: diasemarr()");
            return -1;
        }
        return static_cast<std::int32_t>(fechas_interno::fecharrdias(f) % 7);
    });
}
