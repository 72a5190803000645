// Helpers shared by the date routines and by nothing else.
#pragma once

#include "fechas.h"

#include <cstring>

// Every date routine names itself here first, so that after a failure the
// marker tells which routine was entered last.
inline void marca(const char *texto) {
    std::strcpy(marca_rutina, texto);
}

// Indexed by month, 1 to 12; entry 0 is unused so the month is the index.
extern const std::int32_t largo_mes[13];
extern const std::int32_t dias_antes_mes[13];
// Days of the year gone by at the end of each month; row 0 a common year, row 1 a leap year.
extern const std::int32_t fin_mes[2][13];

// The calendar checks of a date array: refuses with -1, otherwise 0. Both write
// the normalised two-digit year back into the array before looking at month
// and day, so a refused array may still come back with its year changed.
std::int32_t valida_fecha(std::int32_t fecha[3]);
// The weekday routines' own older check: it also refuses 1900 and allows
// 29 February in every year divisible by 4.
std::int32_t valida_fecha_semana(std::int32_t fecha[3]);

// Writes the eight-character date text into a buffer of at least 9 bytes.
// Values that would not fit eight characters leave the text empty and give -1.
std::int32_t escribe_fecha(char *texto, std::int32_t dia, std::int32_t mes, std::int32_t anio);
