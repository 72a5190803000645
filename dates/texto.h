// Reading and writing the date text, for the routines of the family.
#pragma once

#include "calendario.h"

#pragma GCC visibility push(hidden)
namespace fechas_interno {

// What sscanf takes for white space and for digits in the C locale.
constexpr bool es_blanco(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

constexpr bool es_digito(char c) {
    return c >= '0' && c <= '9';
}

constexpr bool es_separador(char c) {
    return c == '.' || c == ',' || c == ';' || c == ':' || c == '/' || c == '-';
}

// One "%d" conversion as glibc's sscanf makes it: blanks skipped, then a sign and
// digits, at most `ancho` characters of them (0: no limit), at least one digit.
// The digits are read as strtol reads them, saturating at the 64-bit long, and
// the int keeps the low 32 bits of that. The field is stored only when read;
// the result is where reading goes on, or null where the scan stops.
inline const char *lee_entero(const char *p, int ancho, std::int32_t &campo) {
    while (es_blanco(*p))
        ++p;
    // Without a limit no text is long enough to count this down to zero.
    std::size_t resto = ancho > 0 ? static_cast<std::size_t>(ancho) : SIZE_MAX;
    const bool negativo = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
        --resto;
    }
    constexpr std::uint64_t tope = std::uint64_t{1} << 63; // -LONG_MIN; LONG_MAX is one less
    std::uint64_t valor = 0;
    const char *inicio = p;
    for (; resto != 0 && es_digito(*p); ++p, --resto) // past the top it stays above it
        valor = valor <= tope / 10 ? valor * 10 + static_cast<std::uint64_t>(*p - '0') : tope + 1;
    if (p == inicio)
        return nullptr;
    const std::uint64_t limite = negativo ? tope : tope - 1;
    if (valor > limite)
        valor = limite;
    campo = static_cast<std::int32_t>(static_cast<std::uint32_t>(negativo ? 0 - valor : valor));
    return p;
}

// One "%c" conversion: the very next character, whatever it is, unless the text ends.
inline const char *lee_caracter(const char *p, char &c) {
    if (*p == '\0')
        return nullptr;
    c = *p;
    return p + 1;
}

// The date text as the family has always read it: one of the six characters
// ".,;:/-" anywhere asks for sscanf(" %2d%c%2d%c%d") with five conversions, and
// without them sscanf(" %2d%2d%d") with three. Each field goes into the array as
// it is read. The separator fields take any character; a digit there, though,
// means a two-character field was cut off inside a longer number (2013-06-15
// would read as 20 March 2006), so the text is refused rather than misread.
inline bool lee_fecha(const char *texto, std::int32_t fecha[3]) {
    const char *p = texto;
    while (*p != '\0' && !es_separador(*p))
        ++p;
    if (*p == '\0') {
        return (p = lee_entero(texto, 2, fecha[0])) && (p = lee_entero(p, 2, fecha[1])) &&
               lee_entero(p, 0, fecha[2]);
    }
    char sep1 = 0;
    char sep2 = 0;
    return (p = lee_entero(texto, 2, fecha[0])) && (p = lee_caracter(p, sep1)) &&
           (p = lee_entero(p, 2, fecha[1])) && (p = lee_caracter(p, sep2)) &&
           lee_entero(p, 0, fecha[2]) && !es_digito(sep1) && !es_digito(sep2);
}

inline std::int32_t fechstrarr(const char *texto, std::int32_t fecha[3]) {
    marca("funcion: fechstrarr()");
    if (!lee_fecha(texto, fecha))
        return -1;
    return sobre_arreglo(fecha, valida_fecha);
}

// "00" to "99", two characters a number.
inline constexpr char pares_de_cifras[201] = "00010203040506070809101112131415161718192021222324"
                                             "25262728293031323334353637383940414243444546474849"
                                             "50515253545556575859606162636465666768697071727374"
                                             "75767778798081828384858687888990919293949596979899";

// "%02d%02d%4d" into nine bytes. Values that would not fit eight characters leave
// the text empty and give -1; "%4d" pads a year below 1000 with blanks.
inline std::int32_t escribe_fecha(char *texto, std::int32_t dia, std::int32_t mes,
                                  std::int32_t anio) {
    if (dia < 1 || dia > 31 || mes < 1 || mes > 12 || anio < 0 || anio > 9999) {
        texto[0] = '\0';
        return -1;
    }
    std::memcpy(texto, pares_de_cifras + 2 * dia, 2);
    std::memcpy(texto + 2, pares_de_cifras + 2 * mes, 2);
    std::memcpy(texto + 4, pares_de_cifras + 2 * (anio / 100), 2);
    std::memcpy(texto + 6, pares_de_cifras + 2 * (anio % 100), 2);
    texto[8] = '\0';
    for (int i = 4; i < 7 && texto[i] == '0'; ++i)
        texto[i] = ' ';
    return 0;
}

inline char *fecharrstr(Fecha &f, char *texto) {
    marca("funcion: fecharrstr()");
    if (fecharrdias_no_negativo(f))
        escribe_fecha(texto, f.dia, f.mes, f.anio);
    else
        texto[0] = '\0';
    return texto;
}

inline std::int64_t fechstrdias(const char *texto) {
    marca("funcion: fechstrdias()");
    std::int32_t fecha[3];
    if (fechstrarr(texto, fecha) != 0)
        return -1;
    Fecha f{fecha[0], fecha[1], fecha[2]};
    return fecharrdias(f);
}

} // namespace fechas_interno
#pragma GCC visibility pop
