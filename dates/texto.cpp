#include "texto.h"

using namespace fechas_interno;

std::int32_t fechstrarr(const char *texto, std::int32_t fecha[3]) {
    return fechas_interno::fechstrarr(texto, fecha);
}

char *fecharrstr(std::int32_t fecha[3], char *texto) {
    return sobre_arreglo(fecha, [texto](Fecha &f) { return fechas_interno::fecharrstr(f, texto); });
}

std::int64_t fechstrdias(const char *texto) {
    return fechas_interno::fechstrdias(texto);
}

// The text lives until the next call, for every caller.
char *fechdiasstr(std::int64_t dias) {
    static char texto[9];
    marca("funcion: fechdiasstr()");
    Fecha f;
    if (!fechas_interno::fechdiasarr(dias, f)) {
        texto[0] = '\0';
        return texto;
    }
    return fechas_interno::fecharrstr(f, texto);
}

// An empty second text asks for the first date moved by *dias days; otherwise
// *dias receives how many days the second date lies after the first.
std::int32_t difdias(const char *texto1, char *texto2, std::int64_t *dias) {
    marca("funcion: difdias()");
    const std::int64_t desde = fechas_interno::fechstrdias(texto1);
    if (desde < 0)
        return -1;
    if (texto2[0] != '\0') {
        const std::int64_t hasta = fechas_interno::fechstrdias(texto2);
        if (hasta < 0)
            return -1;
        *dias = hasta - desde;
        return 0;
    }
    // The range is checked before adding so that no count can overflow the sum; a
    // sum out of range goes on as 0, which fechdiasarr refuses like any other.
    const bool cabe = *dias >= 1 - desde && *dias <= 73050 - desde;
    Fecha f;
    if (!fechas_interno::fechdiasarr(cabe ? desde + *dias : 0, f)) {
        texto2[0] = '\0';
        return -1;
    }
    fechas_interno::fecharrstr(f, texto2);
    return 0;
}
