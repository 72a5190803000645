#include "deposito/cuadrilla.h"

#include "deposito/temporales.h"

#include <algorithm>

namespace sockvor {

void Cuadrilla::reparte(std::size_t n, const std::function<void(std::size_t)> &trabajo) {
    if (n == 0) {
        return;
    }
    std::unique_lock bloqueo(mutex_);
    for (std::size_t faltan = std::min(n - 1, maximo_); hilos_.size() < faltan;) {
        hilos_.emplace_back([this] { obrero(); });
    }
    trabajo_ = &trabajo;
    total_ = n;
    siguiente_ = 0;
    hechos_ = 0;
    hay_.notify_all();
    trabaja(bloqueo);
    listo_.wait(bloqueo, [&] { return hechos_ == total_; });
    trabajo_ = nullptr;
    total_ = 0;
    siguiente_ = 0;
}

void Cuadrilla::trabaja(std::unique_lock<std::mutex> &bloqueo) {
    while (siguiente_ < total_) {
        std::size_t i = siguiente_++;
        const auto &trabajo = *trabajo_; // stays while a piece of it is undone
        bloqueo.unlock();
        trabajo(i);
        bloqueo.lock();
        if (++hechos_ == total_) {
            listo_.notify_all();
        }
    }
}

void Cuadrilla::obrero() {
    bloquea_senales_en_este_hilo();
    std::unique_lock bloqueo(mutex_);
    for (;;) {
        hay_.wait(bloqueo, [&] { return salir_ || siguiente_ < total_; });
        if (salir_) {
            return;
        }
        trabaja(bloqueo);
    }
}

void Cuadrilla::detiene() {
    {
        std::lock_guard bloqueo(mutex_);
        salir_ = true;
        hay_.notify_all();
    }
    for (auto &h : hilos_) {
        h.join();
    }
    hilos_.clear();
    salir_ = false;
}

} // namespace sockvor
