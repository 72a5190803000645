// Put first with LD_PRELOAD: a moment when one of the program's threads is being born just
// as a temporary file has been made and not yet noted, held long enough for a test to send
// a signal then. Every thread the program starts waits, before it runs anything of its
// own, for up to HILO_LENTO_MS milliseconds, as a thread the system is slow to run. The
// first temporary file (".sockvor-" in its name) made while one waits is announced by a
// byte on the descriptor HILO_LENTO_AVISO; the thread that made it then stays in open()
// for HILO_LENTO_MS more, and those being born wait as long. The signal comes from outside
// the process, as an operator's would: a confined process may not be allowed to send it.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<int> naciendo{0};
std::atomic<bool> avisado{false};
std::atomic<bool> suelto{false};

std::chrono::milliseconds demora() {
    const char *ms = std::getenv("HILO_LENTO_MS");
    return std::chrono::milliseconds(ms ? std::atoi(ms) : 0);
}

struct Arranque {
    void *(*cuerpo)(void *);
    void *argumento;
};

void *nace(void *dato) {
    auto arranque = *static_cast<Arranque *>(dato);
    delete static_cast<Arranque *>(dato);
    auto hasta = std::chrono::steady_clock::now() + demora();
    ++naciendo;
    while (!suelto && (avisado || std::chrono::steady_clock::now() < hasta)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    --naciendo;
    return arranque.cuerpo(arranque.argumento);
}

int abre(const char *nombre, const char *ruta, int banderas, mode_t modo) {
    int fd = reinterpret_cast<int (*)(const char *, int, ...)>(dlsym(RTLD_NEXT, nombre))(
        ruta, banderas, modo);
    const char *aviso = std::getenv("HILO_LENTO_AVISO");
    if (fd >= 0 && aviso && (banderas & O_CREAT) && std::strstr(ruta, ".sockvor-") &&
        naciendo > 0 && !avisado.exchange(true)) {
        if (::write(std::atoi(aviso), "!", 1) == 1) {
            std::this_thread::sleep_for(demora());
        }
        suelto = true;
    }
    return fd;
}

} // namespace

extern "C" int pthread_create(pthread_t *hilo, const pthread_attr_t *atributos,
                              void *(*cuerpo)(void *), void *argumento) {
    using Crea = int(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static auto *real = reinterpret_cast<Crea *>(dlsym(RTLD_NEXT, "pthread_create"));
    auto *arranque = new Arranque{cuerpo, argumento};
    int r = real(hilo, atributos, nace, arranque);
    if (r != 0) {
        delete arranque;
    }
    return r;
}

extern "C" int open(const char *ruta, int banderas, ...) {
    va_list resto;
    va_start(resto, banderas);
    auto modo = (banderas & O_CREAT) ? static_cast<mode_t>(va_arg(resto, int)) : 0;
    va_end(resto);
    return abre("open", ruta, banderas, modo);
}

extern "C" int open64(const char *ruta, int banderas, ...) {
    va_list resto;
    va_start(resto, banderas);
    auto modo = (banderas & O_CREAT) ? static_cast<mode_t>(va_arg(resto, int)) : 0;
    va_end(resto);
    return abre("open64", ruta, banderas, modo);
}
