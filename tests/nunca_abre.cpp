// Put first with LD_PRELOAD: ends the process it was loaded into, with status 97
// and a line on stderr, when that process (not a child it forks) opens a file
// that NUNCA_ABRE names (paths separated by ':'), by any of the C library's
// opens. A child forked without exec is the key holder, which may.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace {

const pid_t propio = getpid();

void vigila(const char *ruta) {
    const char *lista = std::getenv("NUNCA_ABRE");
    if (!ruta || !lista || getpid() != propio) {
        return;
    }
    std::string_view resto = lista, buscada = ruta;
    while (!resto.empty()) {
        auto corte = resto.find(':');
        if (resto.substr(0, corte) == buscada) {
            dprintf(STDERR_FILENO, "nunca_abre: el proceso abrió %s\n", ruta);
            _exit(97);
        }
        resto.remove_prefix(corte == std::string_view::npos ? resto.size() : corte + 1);
    }
}

template <class F> F siguiente(const char *nombre) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, nombre));
}

// open's mode is there only with O_CREAT or O_TMPFILE.
mode_t modo(int banderas, va_list &v) {
    return (banderas & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(v, int)) : 0;
}

} // namespace

#define ABRE(nombre)                                                                               \
    extern "C" int nombre(const char *ruta, int banderas, ...) {                                   \
        va_list v;                                                                                 \
        va_start(v, banderas);                                                                     \
        mode_t m = modo(banderas, v);                                                              \
        va_end(v);                                                                                 \
        vigila(ruta);                                                                              \
        return siguiente<int (*)(const char *, int, ...)>(#nombre)(ruta, banderas, m);             \
    }
#define ABRE_EN(nombre)                                                                            \
    extern "C" int nombre(int carpeta, const char *ruta, int banderas, ...) {                      \
        va_list v;                                                                                 \
        va_start(v, banderas);                                                                     \
        mode_t m = modo(banderas, v);                                                              \
        va_end(v);                                                                                 \
        vigila(ruta);                                                                              \
        return siguiente<int (*)(int, const char *, int, ...)>(#nombre)(carpeta, ruta, banderas,   \
                                                                        m);                        \
    }
#define ABRE_FLUJO(nombre)                                                                         \
    extern "C" FILE *nombre(const char *ruta, const char *modo) {                                  \
        vigila(ruta);                                                                              \
        return siguiente<FILE *(*)(const char *, const char *)>(#nombre)(ruta, modo);              \
    }

ABRE(open)
ABRE(open64)
ABRE_EN(openat)
ABRE_EN(openat64)
ABRE_FLUJO(fopen)
ABRE_FLUJO(fopen64)
