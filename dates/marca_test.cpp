#include "fechas.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

std::int32_t *arr(std::int32_t dia, std::int32_t mes, std::int32_t anio) {
    static std::int32_t fecha[3];
    fecha[0] = dia;
    fecha[1] = mes;
    fecha[2] = anio;
    return fecha;
}

char *vacio() {
    static char texto[9];
    texto[0] = '\0';
    return texto;
}

std::int64_t *cuenta(std::int64_t dias) {
    static std::int64_t n;
    n = dias;
    return &n;
}

// The marker names the date routine entered last: a conversion that reaches a
// day number leaves bisiesto's name, a routine refused early leaves its own.
TEST(Marca, NamesLastRoutineEntered) {
    const struct {
        void (*llamada)();
        const char *esperado;
    } casos[] = {
        {[] { fecharrdias(arr(1, 3, 2013)); }, "funcion: bisiesto()"},
        {[] { fecharrdias(arr(1, 13, 2013)); }, "funcion: fecharrdias()"},
        {[] { fecharrdias(arr(30, 2, 2013)); }, "funcion: bisiesto()"}, // asked about February
        {[] { fechdiasarr(100, arr(0, 0, 0)); }, "funcion: bisiesto()"},
        {[] { fechdiasarr(0, arr(0, 0, 0)); }, "funcion: fechdiasarr()"},
        {[] { fechoydias(); }, "funcion: bisiesto()"},
        {[] { fechstrarr("xx", arr(0, 0, 0)); }, "funcion: fechstrarr()"},
        {[] { fechstrdias("15062013"); }, "funcion: bisiesto()"},
        {[] { fechstrdias("xx"); }, "funcion: fechstrarr()"},
        {[] { fecharrstr(arr(5, 13, 14), vacio()); }, "funcion: fecharrdias()"},
        {[] { fechdiasstr(0); }, "funcion: fechdiasarr()"},
        {[] { fechdiasstr(1); }, "funcion: bisiesto()"},
        {[] { difdias("xx", vacio(), cuenta(1)); }, "funcion: fechstrarr()"},
        {[] { difdias("01012013", vacio(), cuenta(INT64_MAX)); }, "funcion: fechdiasarr()"},
        {[] { diasemdias(-5); }, "funcion: diasemdias()"},
        {[] { diasemstr(""); }, "funcion: fechstrarr()"},
        {[] { diasemarr(arr(1, 1, 1900)); }, "funcion: diasemarr()"},
        {[] { fechoyarr(arr(0, 0, 0)); }, "funcion: fechoyarr()"},
        {[] { fechoystr(vacio()); }, "funcion: fechoystr()"},
    };
    for (const auto &c : casos) {
        std::strcpy(marca_rutina, "sin tocar");
        c.llamada();
        EXPECT_STREQ(marca_rutina, c.esperado) << "caso " << (&c - casos);
    }
}

} // namespace
