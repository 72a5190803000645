// The calendar core of the date routines: validation, leap years and day numbers.
#pragma once

#include "interno.h"

#pragma GCC visibility push(hidden)
namespace fechas_interno {

// Indexed by month, 1 to 12; entry 0 is unused so the month is the index.
inline constexpr std::int32_t largo_mes[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// The Gregorian rule. A year divisible by 100 is divisible by 400 exactly when it
// is divisible by 16, which costs a mask instead of a second division.
constexpr bool es_bisiesto(std::int32_t anio) {
    return anio % 100 == 0 ? anio % 16 == 0 : anio % 4 == 0;
}

inline std::int32_t bisiesto(std::int32_t anio) {
    marca("funcion: bisiesto()");
    return es_bisiesto(anio);
}

// Two-digit years pivot at 50; negative ones are counted back from 2000, so -1 is 1999.
constexpr std::int32_t normaliza(std::int32_t anio) {
    if (anio <= 49)
        return anio + 2000;
    if (anio <= 99)
        return anio + 1900;
    return anio;
}

// A date array held in registers. The routines copy the caller's array into one
// and write its year back at the end: the marker is a char buffer, which the
// compiler must assume could alias the array, so working on the array itself
// would reload it after every marker.
struct Fecha {
    std::int32_t dia, mes, anio;
};

// Runs `rutina` on a copy of the array and writes back the year it normalised. A
// year that did not change is not written, so no store is made that the first
// formulation did not make (it wrote the year whenever the window let it through).
template <typename Rutina> inline auto sobre_arreglo(std::int32_t fecha[3], Rutina rutina) {
    Fecha f{fecha[0], fecha[1], fecha[2]};
    const std::int32_t anio = f.anio;
    const auto r = rutina(f);
    if (f.anio != anio)
        fecha[2] = f.anio;
    return r;
}

// The calendar checks of a date: refuses with -1, otherwise 0. The two-digit year
// is normalised before month and day are looked at, so a refused date may still
// come back with its year changed. Years from 100 up to ultimo_fuera are neither
// two-digit years nor in the calendar the day numbers start from; years past 9999
// are refused because their text would not fit the eight characters every
// caller's buffer is sized for. `febrero` answers whether February has 29 days;
// it is asked only about February.
template <std::int32_t ultimo_fuera, typename Febrero>
inline std::int32_t comprueba(Fecha &f, Febrero febrero) {
    if ((f.anio >= 100 && f.anio <= ultimo_fuera) || f.anio > 9999)
        return -1;
    f.anio = normaliza(f.anio);
    if (f.mes < 1 || f.mes > 12)
        return -1;
    const std::int32_t largo = f.mes == 2 && febrero(f.anio) ? 29 : largo_mes[f.mes];
    if (f.dia < 1 || f.dia > largo)
        return -1;
    return 0;
}

// Leap years are asked of bisiesto, so a February leaves its name in the marker.
inline std::int32_t valida_fecha(Fecha &f) {
    return comprueba<1899>(f, bisiesto);
}

// The weekday routines' own older check: it also refuses 1900 and allows
// 29 February in every year divisible by 4.
inline std::int32_t valida_fecha_semana(Fecha &f) {
    return comprueba<1900>(f, [](std::int32_t anio) { return anio % 4 == 0; });
}

// Days from 1 March of the year -400 * ciclos to a date in a year after it. Years
// start on 1 March, so the leap day ends its year, and every division is by a
// constant, unsigned: multiplications and shifts.
template <typename Natural, std::int64_t ciclos>
constexpr Natural dias_desde_origen(std::int32_t dia, std::int32_t mes, std::int32_t anio) {
    const bool ene_feb = mes <= 2;
    const auto a = static_cast<Natural>(std::int64_t{anio} - ene_feb + 400 * ciclos);
    const Natural siglos = a / 100;
    const auto m = static_cast<Natural>(ene_feb ? mes + 12 : mes); // March is 3
    return 365 * a + a / 4 - siglos + siglos / 4 + (979 * m - 2919) / 32 +
           static_cast<Natural>(dia);
}

// The day number of a real date in a year far below zero, which only normalising
// such a year gives: 64 bits, and enough 400-year cycles to keep the count positive.
[[gnu::noinline, gnu::cold]] constexpr std::int64_t
cuenta_dias_lejanos(std::int32_t dia, std::int32_t mes, std::int32_t anio) {
    constexpr std::int64_t ciclos = 5'368'710; // 400 * ciclos > 2^31
    constexpr auto cero = dias_desde_origen<std::uint64_t, ciclos>(31, 12, 1899);
    return static_cast<std::int64_t>(dias_desde_origen<std::uint64_t, ciclos>(dia, mes, anio) -
                                     cero);
}

// The day number of a real date, in any year; the calendar's years take 32 bits.
constexpr std::int64_t cuenta_dias(std::int32_t dia, std::int32_t mes, std::int32_t anio) {
    if (anio >= 0 && anio <= 9999) [[likely]] {
        constexpr auto cero = dias_desde_origen<std::uint32_t, 1>(31, 12, 1899);
        return std::int64_t{dias_desde_origen<std::uint32_t, 1>(dia, mes, anio)} - cero;
    }
    return cuenta_dias_lejanos(dia, mes, anio);
}
static_assert(cuenta_dias(1, 1, 1900) == 1 && cuenta_dias(1, 1, 2000) == 36525 &&
              cuenta_dias(31, 12, 2100) == 73414 && cuenta_dias(31, 12, 9999) == 2958464 &&
              cuenta_dias(1, 1, 0) == -693960 && cuenta_dias(31, 12, -1) == -693961);

// What bisiesto's marker leaves written over fecharrdias's (or fechdiasarr's): its
// text and terminator, then the other's last bytes.
inline constexpr char marca_bisiesto_sobre_conversion[] = "funcion: bisiesto()\0()";
static_assert(sizeof marca_bisiesto_sobre_conversion == sizeof "funcion: fecharrdias()");

// fecharrdias up to the count: the validation, and the marker it leaves. The first
// formulation wrote "funcion: fecharrdias()", then bisiesto's marker when it asked
// whether February had 29 days, and bisiesto's again once the date had passed (its
// leap-year test came last). Only what is left at the end can be seen, and two
// writes cost as much as the validation, so it is written once.
inline bool valida_y_marca(Fecha &f) {
    bool febrero = false;
    const bool vale = comprueba<1899>(f, [&febrero](std::int32_t anio) {
                          febrero = true;
                          return es_bisiesto(anio);
                      }) == 0;
    if (vale || febrero)
        std::memcpy(marca_rutina, marca_bisiesto_sobre_conversion,
                    sizeof marca_bisiesto_sobre_conversion);
    else
        marca("funcion: fecharrdias()");
    return vale;
}

inline std::int64_t fecharrdias(Fecha &f) {
    return valida_y_marca(f) ? cuenta_dias(f.dia, f.mes, f.anio) : -1;
}

// fecharrdias(f) >= 0, told from the date instead of counted: a real date from
// 31 December 1899 on.
inline bool fecharrdias_no_negativo(Fecha &f) {
    return valida_y_marca(f) && (f.anio > 1899 || (f.anio == 1899 && f.mes == 12 && f.dia == 31));
}

// The inverse of cuenta_dias for day numbers from 1 to 73050 (Neri and
// Schneider's Euclidean affine functions): days from 1 March of year 0, split
// into centuries, years of the century and days of the year, each by a
// multiplication and a shift.
inline Fecha fecha_de_dias(std::int64_t dias) {
    constexpr std::uint32_t dia_cero = 693'900; // 31 December 1899, from 1 March of year 0
    const std::uint32_t n = static_cast<std::uint32_t>(dias) + dia_cero;
    const std::uint32_t n1 = 4 * n + 3;
    const std::uint32_t siglo = n1 / 146'097;
    const std::uint32_t n2 = n1 % 146'097 / 4 * 4 + 3;
    const std::uint64_t p2 = std::uint64_t{2'939'745} * n2;
    const auto anio_siglo = static_cast<std::uint32_t>(p2 >> 32);
    const std::uint32_t dia_anio = static_cast<std::uint32_t>(p2) / 2'939'745 / 4;
    const std::uint32_t n3 = 2141 * dia_anio + 197'913;
    const bool ene_feb = dia_anio >= 306;
    return {static_cast<std::int32_t>((n3 & 0xffff) / 2141 + 1),
            static_cast<std::int32_t>(ene_feb ? (n3 >> 16) - 12 : n3 >> 16),
            static_cast<std::int32_t>(100 * siglo + anio_siglo + ene_feb)};
}

// Nothing is written unless the number is in range; the year's leap test is the
// last routine the first formulation called, so its name stays in the marker.
inline bool fechdiasarr(std::int64_t dias, Fecha &f) {
    marca("funcion: fechdiasarr()");
    if (dias < 1 || dias > 73050)
        return false;
    f = fecha_de_dias(dias);
    marca("funcion: bisiesto()");
    return true;
}

} // namespace fechas_interno
#pragma GCC visibility pop
