#include "hilo.h"

#include <cerrno>
#include <csignal>
#include <new>
#include <system_error>

namespace sockvor {

std::thread lanza_hilo(std::function<void()> cuerpo) noexcept {
    sigset_t bloqueadas;
    sigfillset(&bloqueadas);
    // Faults must still reach the thread that caused them.
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
        sigdelset(&bloqueadas, s);
    }
    sigset_t antes;
    ::pthread_sigmask(SIG_BLOCK, &bloqueadas, &antes);
    std::thread hilo;
    int error = 0;
    try {
        hilo = std::thread(std::move(cuerpo));
    } catch (const std::system_error &e) {
        error = e.code().value(); // EAGAIN at a task limit
    } catch (const std::bad_alloc &) {
        error = ENOMEM;
    }
    // A signal that came meanwhile is taken here, once the creator's mask is back.
    ::pthread_sigmask(SIG_SETMASK, &antes, nullptr);
    if (error != 0) {
        errno = error;
    }
    return hilo;
}

} // namespace sockvor
