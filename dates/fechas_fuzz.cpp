// libFuzzer target for the date-text routines. The input is up to three lines:
// a first date text, a second one, and a day count for the shift mode.
#include "fechas.h"
#include "fuzz_lineas.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using namespace std::chrono;

// An accepted text must name a real day, its day number must be the calendar's,
// and every form it converts to must lead back to it. The number is that of the
// array once more through the day-number check, which normalises a two-digit
// year again: "1/1/-1901" is read as year 99 and counted as 1999.
void revisa_texto(const char *texto) {
    std::int32_t fecha[3];
    const std::int32_t leido = fechstrarr(texto, fecha);
    const std::int64_t dias = fechstrdias(texto);
    if (leido != 0) {
        if (dias != -1)
            std::abort();
        return;
    }
    if (fecha[2] > 9999 || fecha[1] < 1 || fecha[1] > 12 || fecha[0] < 1)
        std::abort();
    std::int32_t copia[3] = {fecha[0], fecha[1], fecha[2]};
    if (fecharrdias(copia) != dias)
        std::abort();
    if (dias < 0)
        return;

    const year_month_day ymd{year{copia[2]}, month{static_cast<unsigned>(copia[1])},
                             day{static_cast<unsigned>(copia[0])}};
    if (!ymd.ok() || dias != (sys_days{ymd} - sys_days{year{1899} / December / 31}).count())
        std::abort();

    if (dias == 0)
        return; // 31 December 1899: in the year window every validation refuses
    char escrito[16];
    std::memset(escrito, 'X', sizeof escrito);
    fecharrstr(copia, escrito);
    if (std::strlen(escrito) != 8 || escrito[9] != 'X')
        std::abort();
    std::int32_t releido[3];
    if (fechstrarr(escrito, releido) != 0 || releido[0] != copia[0] || releido[1] != copia[1] ||
        releido[2] != copia[2])
        std::abort();

    if (dias <= 73050) {
        std::int32_t vuelta[3];
        if (fechdiasarr(dias, vuelta) != 0 || vuelta[0] != copia[0] || vuelta[1] != copia[1] ||
            vuelta[2] != copia[2])
            std::abort();
        if (std::strcmp(fechdiasstr(dias), escrito) != 0)
            std::abort();
    }
}

void revisa_diferencia(const std::string &uno, const std::string &otro) {
    if (otro.empty())
        return;
    const std::int64_t desde = fechstrdias(uno.c_str());
    const std::int64_t hasta = fechstrdias(otro.c_str());
    std::string segundo = otro;
    std::int64_t dias = 12345;
    const std::int32_t r = difdias(uno.c_str(), segundo.data(), &dias);
    if (segundo != otro)
        std::abort();
    if (desde < 0 || hasta < 0) {
        if (r != -1 || dias != 12345)
            std::abort();
    } else if (r != 0 || dias != hasta - desde) {
        std::abort();
    }
}

void revisa_desplazamiento(const std::string &uno, std::int64_t cuenta) {
    const std::int64_t desde = fechstrdias(uno.c_str());
    char texto[16];
    std::memset(texto, 'X', sizeof texto);
    texto[0] = '\0';
    std::int64_t dias = cuenta;
    const std::int32_t r = difdias(uno.c_str(), texto, &dias);
    if (dias != cuenta || texto[9] != 'X')
        std::abort();
    if (r == 0) {
        if (std::strlen(texto) != 8 || fechstrdias(texto) != desde + cuenta)
            std::abort();
    } else if (r != -1 || texto[0] != '\0') {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *datos, std::size_t largo) {
    const auto [uno, otro, resto] = lineas<3>(datos, largo);
    // strtoll saturates, so the extreme counts come up as often as the small ones.
    const std::int64_t cuenta = std::strtoll(resto.c_str(), nullptr, 10);

    revisa_texto(uno.c_str());
    revisa_texto(otro.c_str());
    revisa_diferencia(uno, otro);
    revisa_desplazamiento(uno, cuenta);
    return 0;
}
