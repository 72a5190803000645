#include "calendario.h"

using namespace fechas_interno;

std::int32_t bisiesto(std::int32_t anio) {
    return fechas_interno::bisiesto(anio);
}

std::int64_t fecharrdias(std::int32_t fecha[3]) {
    return sobre_arreglo(fecha, [](Fecha &f) { return fechas_interno::fecharrdias(f); });
}

std::int32_t fechdiasarr(std::int64_t dias, std::int32_t fecha[3]) {
    Fecha f;
    if (!fechas_interno::fechdiasarr(dias, f))
        return -1;
    fecha[0] = f.dia;
    fecha[1] = f.mes;
    fecha[2] = f.anio;
    return 0;
}
