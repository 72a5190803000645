#include "ssh/vigia.h"

#include "hilo.h"

#include <cerrno>
#include <sys/socket.h>

namespace sockvor {

namespace {

class Monotono : public Reloj {
  public:
    instante ahora() override { return std::chrono::steady_clock::now(); }
    void duerme(std::condition_variable &cambio, std::unique_lock<std::mutex> &bloqueo,
                std::optional<instante> hasta) override {
        if (hasta) {
            cambio.wait_until(bloqueo, *hasta);
        } else {
            cambio.wait(bloqueo);
        }
    }
};

} // namespace

Reloj &reloj_monotono() {
    // Never destroyed, as the watchdog that uses it.
    static Reloj *unico = new Monotono;
    return *unico;
}

Vigia &vigia() {
    // Never destroyed: the teardown at exit stops the thread explicitly, in an
    // order it controls (see conexion.cpp).
    static Vigia *unica = new Vigia;
    return *unica;
}

void Vigia::arma(int fd, std::chrono::milliseconds plazo) {
    std::unique_lock bloqueo(mutex_);
    if (!hilo_.joinable()) {
        salir_ = false;
        hilo_ = lanza_hilo([this] { bucle(); });
        if (!hilo_.joinable()) {
            // Nothing would bound the call: it is cut before it starts, as at a deadline,
            // and sin_hilo() says why.
            sin_hilo_ = errno;
            disparado_ = true;
            ::shutdown(fd, SHUT_RDWR);
            return;
        }
    }
    fd_ = fd;
    limite_ = reloj_.ahora() + plazo;
    armado_ = true;
    // Waking the thread on every call cost two context switches per SFTP request; it
    // only needs waking when it would otherwise sleep past the new deadline.
    if (limite_ < despierta_) {
        cambio_.notify_one();
    }
}

void Vigia::desarma() {
    // Once this returns the thread cannot touch fd_ any more, so the caller may
    // close or hand over the socket.
    std::unique_lock bloqueo(mutex_);
    armado_ = false;
    fd_ = -1;
    // No wake-up: at its deadline the thread finds nothing armed, or a later deadline.
}

bool Vigia::disparo() {
    std::unique_lock bloqueo(mutex_);
    return disparado_;
}

void Vigia::olvida_disparo() {
    std::unique_lock bloqueo(mutex_);
    disparado_ = false;
    sin_hilo_ = 0;
}

int Vigia::sin_hilo() {
    std::unique_lock bloqueo(mutex_);
    return sin_hilo_;
}

void Vigia::detiene() {
    {
        std::unique_lock bloqueo(mutex_);
        salir_ = true;
        armado_ = false;
        cambio_.notify_one();
    }
    if (hilo_.joinable()) {
        hilo_.join();
    }
}

void Vigia::bucle() {
    std::unique_lock bloqueo(mutex_);
    while (!salir_) {
        if (!armado_) {
            despierta_ = Reloj::instante::max();
            reloj_.duerme(cambio_, bloqueo, std::nullopt);
            continue;
        }
        if (reloj_.ahora() >= limite_) {
            ::shutdown(fd_, SHUT_RDWR);
            disparado_ = true;
            armado_ = false;
            continue;
        }
        despierta_ = limite_;
        reloj_.duerme(cambio_, bloqueo, despierta_);
    }
}

} // namespace sockvor
