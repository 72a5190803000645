// A C++ program of a site, built against the installed family with find_package(fechas).
#include <fechas.h>

#include <cstdint>
#include <cstdio>

int main() {
    std::int32_t fecha[3];
    char texto[9];
    if (fechstrarr("15.06.13", fecha) != 0)
        return 1;
    std::printf("%s %d %lld\n", fecharrstr(fecha, texto), diasemarr(fecha),
                static_cast<long long>(fechstrdias("1/1/-1901")));
    return 0;
}
