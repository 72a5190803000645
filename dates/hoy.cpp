#include "calendario.h"
#include "texto.h"

#include <ctime>

using fechas_interno::marca;

void fechoyarr(std::int32_t fecha[3]) {
    marca("funcion: fechoyarr()");
    std::time_t ahora = std::time(nullptr);
    const std::tm *local = std::localtime(&ahora);
    fecha[0] = local->tm_mday;
    fecha[1] = local->tm_mon + 1;
    fecha[2] = local->tm_year + 1900;
}

// Reads the clock itself rather than calling fechoyarr, so the marker names this routine.
char *fechoystr(char *texto) {
    marca("funcion: fechoystr()");
    std::time_t ahora = std::time(nullptr);
    const std::tm *local = std::localtime(&ahora);
    fechas_interno::escribe_fecha(texto, local->tm_mday, local->tm_mon + 1, local->tm_year + 1900);
    return texto;
}

std::int64_t fechoydias() {
    marca("funcion: fechoydias()");
    std::int32_t fecha[3];
    fechoyarr(fecha);
    fechas_interno::Fecha f{fecha[0], fecha[1], fecha[2]};
    return fechas_interno::fecharrdias(f);
}
