#include "fechas.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

// The marker names the date routine entered last, so a routine that succeeds
// through the calendar core leaves bisiesto's name, and one refused early its own.
TEST(Marca, NamesLastRoutineEntered) {
    const struct {
        const char *caso;
        void (*llamada)();
        const char *esperado;
    } casos[] = {
        {"bisiesto", [] { bisiesto(2000); }, "funcion: bisiesto()"},
        {"fecharrdias ok",
         [] {
             std::int32_t f[3] = {1, 3, 2013};
             fecharrdias(f);
         },
         "funcion: bisiesto()"},
        {"fecharrdias bad month",
         [] {
             std::int32_t f[3] = {1, 13, 2013};
             fecharrdias(f);
         },
         "funcion: fecharrdias()"},
        {"fechdiasarr ok",
         [] {
             std::int32_t f[3];
             fechdiasarr(100, f);
         },
         "funcion: bisiesto()"},
        {"fechdiasarr refused",
         [] {
             std::int32_t f[3];
             fechdiasarr(0, f);
         },
         "funcion: fechdiasarr()"},
        {"fechoydias", [] { fechoydias(); }, "funcion: bisiesto()"},
        {"fechstrarr refused",
         [] {
             std::int32_t f[3];
             fechstrarr("xx", f);
         },
         "funcion: fechstrarr()"},
        {"fechstrdias ok", [] { fechstrdias("15062013"); }, "funcion: bisiesto()"},
        {"fechstrdias refused", [] { fechstrdias("xx"); }, "funcion: fechstrarr()"},
        {"fecharrstr ok",
         [] {
             std::int32_t f[3] = {5, 3, 14};
             char t[9];
             fecharrstr(f, t);
         },
         "funcion: bisiesto()"},
        {"fecharrstr refused",
         [] {
             std::int32_t f[3] = {5, 13, 14};
             char t[9];
             fecharrstr(f, t);
         },
         "funcion: fecharrdias()"},
        {"fechdiasstr refused", [] { fechdiasstr(0); }, "funcion: fechdiasarr()"},
        {"fechdiasstr ok", [] { fechdiasstr(1); }, "funcion: bisiesto()"},
        {"difdias first refused",
         [] {
             char t[9] = "";
             std::int64_t d = 1;
             difdias("xx", t, &d);
         },
         "funcion: fechstrarr()"},
        {"difdias shift out of range",
         [] {
             char t[9] = "";
             std::int64_t d = INT64_MAX;
             difdias("01012013", t, &d);
         },
         "funcion: fechdiasarr()"},
        {"diasemdias", [] { diasemdias(-5); }, "funcion: diasemdias()"},
        {"diasemstr refused", [] { diasemstr(""); }, "funcion: fechstrarr()"},
        {"diasemarr refused",
         [] {
             std::int32_t f[3] = {1, 1, 1900};
             diasemarr(f);
         },
         "funcion: diasemarr()"},
        {"fechoyarr",
         [] {
             std::int32_t f[3];
             fechoyarr(f);
         },
         "funcion: fechoyarr()"},
        {"fechoystr",
         [] {
             char t[9];
             fechoystr(t);
         },
         "funcion: fechoystr()"},
    };
    for (const auto &c : casos) {
        std::strcpy(marca_rutina, "sin tocar");
        c.llamada();
        EXPECT_STREQ(marca_rutina, c.esperado) << c.caso;
    }
}

} // namespace
