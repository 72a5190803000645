#include "fechas.h"
#include "interno.h"

#include <cstdio>
#include <cstring>
#include <type_traits>

// The scanner stores through int pointers straight into the caller's array.
static_assert(std::is_same_v<std::int32_t, int>);

namespace {

bool es_digito(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

// The characters only choose the scan format; the separator fields take any
// character. A digit there, though, means a two-character field was cut off
// inside a longer number (2013-06-15 would read as 20 March 2006), so the text is
// refused rather than misread.
std::int32_t fechstrarr(const char *texto, std::int32_t fecha[3]) {
    marca("funcion: fechstrarr()");
    if (std::strpbrk(texto, ".,;:/-") != nullptr) {
        char sep1 = 0;
        char sep2 = 0;
        if (std::sscanf(texto, " %2d%c%2d%c%d", &fecha[0], &sep1, &fecha[1], &sep2, &fecha[2]) != 5)
            return -1;
        if (es_digito(sep1) || es_digito(sep2))
            return -1;
    } else if (std::sscanf(texto, " %2d%2d%d", &fecha[0], &fecha[1], &fecha[2]) != 3) {
        return -1;
    }
    return valida_fecha(fecha);
}

char *fecharrstr(std::int32_t fecha[3], char *texto) {
    marca("funcion: fecharrstr()");
    if (fecharrdias(fecha) < 0)
        texto[0] = '\0';
    else
        escribe_fecha(texto, fecha[0], fecha[1], fecha[2]);
    return texto;
}

std::int64_t fechstrdias(const char *texto) {
    marca("funcion: fechstrdias()");
    std::int32_t fecha[3];
    if (fechstrarr(texto, fecha) != 0)
        return -1;
    return fecharrdias(fecha);
}

// The text lives until the next call, for every caller.
char *fechdiasstr(std::int64_t dias) {
    static char texto[9];
    marca("funcion: fechdiasstr()");
    std::int32_t fecha[3];
    if (fechdiasarr(dias, fecha) != 0) {
        texto[0] = '\0';
        return texto;
    }
    return fecharrstr(fecha, texto);
}

// An empty second text asks for the first date moved by *dias days; otherwise
// *dias receives how many days the second date lies after the first.
std::int32_t difdias(const char *texto1, char *texto2, std::int64_t *dias) {
    marca("funcion: difdias()");
    const std::int64_t desde = fechstrdias(texto1);
    if (desde < 0)
        return -1;
    if (texto2[0] != '\0') {
        const std::int64_t hasta = fechstrdias(texto2);
        if (hasta < 0)
            return -1;
        *dias = hasta - desde;
        return 0;
    }
    // The range is checked before adding so that no count can overflow the sum; a
    // sum out of range goes on as 0, which fechdiasarr refuses like any other.
    const bool cabe = *dias >= 1 - desde && *dias <= 73050 - desde;
    std::int32_t fecha[3];
    if (fechdiasarr(cabe ? desde + *dias : 0, fecha) != 0) {
        texto2[0] = '\0';
        return -1;
    }
    fecharrstr(fecha, texto2);
    return 0;
}
