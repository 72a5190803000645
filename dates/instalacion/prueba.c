/* A C program of a site, built against the installed family with pkg-config. */
#include <fechas.h>
#include <stdio.h>

int main(void) {
    char texto[9] = "";
    int64_t dias = 59;
    int32_t fecha[3] = {15, 6, 13};
    if (difdias("01/01/2013", texto, &dias) != 0) {
        fprintf(stderr, "%s\n", marca_rutina);
        return 1;
    }
    printf("%s %lld %d\n", texto, (long long)fechstrdias(texto), (int)diasemstr(texto));
    dias = fecharrdias(fecha);
    printf("%lld %d/%d/%d\n", (long long)dias, (int)fecha[0], (int)fecha[1], (int)fecha[2]);
    printf("%s %s\n", fechdiasstr(73050), marca_rutina);
    return 0;
}
