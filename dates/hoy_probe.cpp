// Prints what the date routines say about today, for tests that run it under a
// fixed clock and a chosen time zone.
#include "fechas.h"

#include <cstdio>

int main() {
    const bool vacia_al_inicio = marca_rutina[0] == '\0';
    char texto[9];
    char *devuelto = fechoystr(texto);
    std::int32_t fecha[3];
    fechoyarr(fecha);
    std::printf("marca_inicial=%s fechoystr=%s%s fechoyarr=%d/%d/%d fechoydias=%lld\n",
                vacia_al_inicio ? "vacia" : "escrita", texto, devuelto == texto ? "" : "(otro)",
                fecha[0], fecha[1], fecha[2], static_cast<long long>(fechoydias()));
    return 0;
}
