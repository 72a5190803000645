#include "fechas.h"
#include "interno.h"

namespace {

// Division rounding down, so that leap-year counts stay true for years before year 1.
std::int64_t piso(std::int64_t a, std::int64_t b) {
    return a / b - (a % b < 0 ? 1 : 0);
}

// Leap years from year 1 up to anio - 1 under the Gregorian rule.
std::int64_t bisiestos_antes(std::int64_t anio) {
    return piso(anio - 1, 4) - piso(anio - 1, 100) + piso(anio - 1, 400);
}

} // namespace

std::int32_t bisiesto(std::int32_t anio) {
    marca("funcion: bisiesto()");
    return anio % 4 == 0 && (anio % 100 != 0 || anio % 400 == 0);
}

// Whole years since 1900 at 365 days, plus one day for every leap year between
// 1900 and this one (the century terms keep 2100, 2200 and 2300 out of that count),
// plus the days of this year. The leap-year test is the last call so that the
// marker names bisiesto after every conversion that succeeds.
std::int64_t fecharrdias(std::int32_t fecha[3]) {
    marca("funcion: fecharrdias()");
    if (valida_fecha(fecha) != 0)
        return -1;
    const std::int64_t anio = fecha[2];
    std::int64_t n = 365 * (anio - 1900) + bisiestos_antes(anio) - bisiestos_antes(1900) +
                     dias_antes_mes[fecha[1]] + fecha[0];
    if (bisiesto(fecha[2]) && fecha[1] > 2)
        ++n;
    return n;
}

// Up to 1 January 2100 every fourth year is a leap year except 1900, so from day
// 1461 (1 January 1904) the days fall in four-year blocks that each open with a
// leap year, and the year is the block plus the whole 365-day years inside it.
// The day of the year is then taken modulo 365, counting blocks from day 365;
// that puts every year's last day (and a leap year's 365th) at 0, which is why
// those are placed by hand and the month search only ever meets days 1 to 364.
std::int32_t fechdiasarr(std::int64_t dias, std::int32_t fecha[3]) {
    marca("funcion: fechdiasarr()");
    if (dias < 1 || dias > 73050)
        return -1;
    const auto anio = static_cast<std::int32_t>(1900 + 4 * (dias / 1461) + (dias % 1461 - 1) / 365);
    fecha[2] = anio;
    const std::int32_t *fin = fin_mes[bisiesto(anio)];

    std::int64_t bloque = 0;
    std::int64_t d = dias;
    if (dias >= 365) {
        bloque = (dias - 365) % 1461;
        d = bloque % 365;
    }
    if (d == 0) {
        fecha[0] = bloque == 1460 ? 30 : 31;
        fecha[1] = 12;
        return 0;
    }

    std::int32_t mes = 1;
    while (fin[mes] <= d)
        ++mes;
    auto dia = static_cast<std::int32_t>(d - fin[mes - 1]);
    if (dia == 0) {
        --mes;
        dia = static_cast<std::int32_t>(d - fin[mes - 1]);
    }
    fecha[0] = dia;
    fecha[1] = mes;
    return 0;
}

std::int64_t fechoydias() {
    marca("funcion: fechoydias()");
    std::int32_t fecha[3];
    fechoyarr(fecha);
    return fecharrdias(fecha);
}
