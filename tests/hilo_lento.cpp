// Put first with LD_PRELOAD: a signal that comes while one of the program's threads is
// being born, just as a temporary file has been made and not yet noted. Every thread the
// program starts waits, before it runs anything of its own, until that has happened or
// HILO_LENTO_MS milliseconds have passed, as a thread the system is slow to run; the first
// temporary file (".sockvor-" in its name) made while one waits is followed by a SIGTERM to
// the process, and the thread that made it stays in open() a second longer. A thread born
// taking TERM takes it meanwhile.
#include <atomic>
#include <chrono>
#include <csignal>
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
std::atomic<bool> enviada{false};

struct Arranque {
    void *(*cuerpo)(void *);
    void *argumento;
};

void *nace(void *dato) {
    auto arranque = *static_cast<Arranque *>(dato);
    delete static_cast<Arranque *>(dato);
    const char *ms = std::getenv("HILO_LENTO_MS");
    auto hasta =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ms ? std::atoi(ms) : 0);
    ++naciendo;
    while (!enviada && std::chrono::steady_clock::now() < hasta) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    --naciendo;
    return arranque.cuerpo(arranque.argumento);
}

int abre(const char *nombre, const char *ruta, int banderas, mode_t modo) {
    int fd = reinterpret_cast<int (*)(const char *, int, ...)>(dlsym(RTLD_NEXT, nombre))(
        ruta, banderas, modo);
    if (fd >= 0 && (banderas & O_CREAT) && std::strstr(ruta, ".sockvor-") && naciendo > 0 &&
        !enviada.exchange(true)) {
        ::kill(::getpid(), SIGTERM);
        std::this_thread::sleep_for(std::chrono::seconds(1));
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
