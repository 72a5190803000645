#include "interno.h"

#include <cstdio>

// "%4d" is only a minimum width: a year past 9999 or below 0 would run past the
// ninth byte, so such values are refused here rather than trusted to every caller.
std::int32_t escribe_fecha(char *texto, std::int32_t dia, std::int32_t mes, std::int32_t anio) {
    if (dia < 1 || dia > 31 || mes < 1 || mes > 12 || anio < 0 || anio > 9999) {
        texto[0] = '\0';
        return -1;
    }
    std::snprintf(texto, 9, "%02d%02d%4d", dia, mes, anio);
    return 0;
}
