#include "interno.h"

namespace {

// Two-digit years pivot at 50; negative ones are counted back from 2000, so -1 is 1999.
std::int32_t normaliza(std::int32_t anio) {
    if (anio <= 49)
        return anio + 2000;
    if (anio <= 99)
        return anio + 1900;
    return anio;
}

std::int32_t cada_cuatro(std::int32_t anio) {
    return anio % 4 == 0;
}

// Years from 100 up to ultimo_fuera are neither two-digit years nor in the calendar
// the day numbers start from. Years past 9999 are refused because their text would
// not fit the eight characters every caller's buffer is sized for.
std::int32_t comprueba(std::int32_t fecha[3], std::int32_t ultimo_fuera,
                       std::int32_t (*es_bisiesto)(std::int32_t)) {
    if ((fecha[2] >= 100 && fecha[2] <= ultimo_fuera) || fecha[2] > 9999)
        return -1;
    fecha[2] = normaliza(fecha[2]);
    const std::int32_t mes = fecha[1];
    if (mes < 1 || mes > 12)
        return -1;
    const std::int32_t largo = mes == 2 && es_bisiesto(fecha[2]) ? 29 : largo_mes[mes];
    if (fecha[0] < 1 || fecha[0] > largo)
        return -1;
    return 0;
}

} // namespace

std::int32_t valida_fecha(std::int32_t fecha[3]) {
    return comprueba(fecha, 1899, bisiesto);
}

std::int32_t valida_fecha_semana(std::int32_t fecha[3]) {
    return comprueba(fecha, 1900, cada_cuatro);
}
