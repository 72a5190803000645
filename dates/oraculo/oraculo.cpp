// The first formulation of the date family, kept as the reference the routines
// are compared with. Do not make it faster: its worth is that it does not change.
#include "oraculo.h"

#include "fechas.h"

#include <cstdio>
#include <cstring>
#include <type_traits>

static_assert(std::is_same_v<std::int32_t, int>);

namespace oraculo {
namespace {

void marca(const char *texto) {
    std::strcpy(marca_rutina, texto);
}

const std::int32_t largo_mes[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
const std::int32_t dias_antes_mes[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
const std::int32_t fin_mes[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

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

std::int32_t valida_fecha(std::int32_t fecha[3]) {
    return comprueba(fecha, 1899, bisiesto);
}

std::int32_t valida_fecha_semana(std::int32_t fecha[3]) {
    return comprueba(fecha, 1900, cada_cuatro);
}

std::int32_t escribe_fecha(char *texto, std::int32_t dia, std::int32_t mes, std::int32_t anio) {
    if (dia < 1 || dia > 31 || mes < 1 || mes > 12 || anio < 0 || anio > 9999) {
        texto[0] = '\0';
        return -1;
    }
    std::snprintf(texto, 9, "%02d%02d%4d", dia, mes, anio);
    return 0;
}

std::int64_t piso(std::int64_t a, std::int64_t b) {
    return a / b - (a % b < 0 ? 1 : 0);
}

std::int64_t bisiestos_antes(std::int64_t anio) {
    return piso(anio - 1, 4) - piso(anio - 1, 100) + piso(anio - 1, 400);
}

bool es_digito(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

std::int32_t bisiesto(std::int32_t anio) {
    marca("funcion: bisiesto()");
    return anio % 4 == 0 && (anio % 100 != 0 || anio % 400 == 0);
}

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
    const bool cabe = *dias >= 1 - desde && *dias <= 73050 - desde;
    std::int32_t fecha[3];
    if (fechdiasarr(cabe ? desde + *dias : 0, fecha) != 0) {
        texto2[0] = '\0';
        return -1;
    }
    fecharrstr(fecha, texto2);
    return 0;
}

std::int32_t diasemdias(std::int64_t dias) {
    marca("funcion: diasemdias()");
    if (dias < 0)
        return -1;
    return static_cast<std::int32_t>(dias % 7);
}

std::int32_t diasemstr(const char *texto) {
    marca("funcion: diasemstr()");
    const std::int64_t dias = fechstrdias(texto);
    if (dias < 0)
        return -1;
    return static_cast<std::int32_t>(dias % 7);
}

std::int32_t diasemarr(std::int32_t fecha[3]) {
    marca("funcion: diasemarr()");
    if (valida_fecha_semana(fecha) != 0)
        return -1;
    return static_cast<std::int32_t>(fecharrdias(fecha) % 7);
}

} // namespace oraculo
