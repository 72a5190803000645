#include "vigia.h"

#include "temporales.h"

#include <sys/socket.h>

namespace sockvor {

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
        hilo_ = std::thread([this] { bucle(); });
    }
    fd_ = fd;
    limite_ = std::chrono::steady_clock::now() + plazo;
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
    bloquea_senales_en_este_hilo();
    std::unique_lock bloqueo(mutex_);
    while (!salir_) {
        if (!armado_) {
            despierta_ = std::chrono::steady_clock::time_point::max();
            cambio_.wait(bloqueo);
            continue;
        }
        if (std::chrono::steady_clock::now() >= limite_) {
            ::shutdown(fd_, SHUT_RDWR);
            disparado_ = true;
            armado_ = false;
            continue;
        }
        despierta_ = limite_;
        cambio_.wait_until(bloqueo, despierta_);
    }
}

} // namespace sockvor
