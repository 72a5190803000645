#include "deposito/cuadrilla.h"

#include "hilo.h"

#include <algorithm>
#include <new>

namespace sockvor {

void Cuadrilla::reparte(std::size_t n, std::size_t a_la_vez,
                        const std::function<void(std::size_t)> &trabajo) {
    if (n == 0) {
        return;
    }
    std::unique_lock bloqueo(mutex_);
    tope_ = std::max<std::size_t>(a_la_vez, 1);
    if (std::size_t faltan = std::min(n, tope_) - 1; hilos_.size() < faltan) {
        // Room first: a thread started and then not kept would end the process.
        try {
            hilos_.reserve(faltan);
        } catch (const std::bad_alloc &) {
            faltan = hilos_.capacity();
        }
        // A thread the system refuses (a task limit) leaves the batch to fewer, down to
        // the caller alone; the next batch asks again.
        while (hilos_.size() < faltan) {
            auto hilo = lanza_hilo([this] { obrero(); });
            if (!hilo.joinable()) {
                break;
            }
            hilos_.push_back(std::move(hilo));
        }
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
    while (siguiente_ < total_ && activos_ < tope_) {
        std::size_t i = siguiente_++;
        ++activos_;
        const auto &trabajo = *trabajo_; // stays while a piece of it is undone
        bloqueo.unlock();
        trabajo(i);
        bloqueo.lock();
        --activos_;
        if (++hechos_ == total_) {
            listo_.notify_all();
        } else if (siguiente_ < total_) {
            hay_.notify_one(); // a place came free, for a thread held back by the bound
        }
    }
}

void Cuadrilla::obrero() {
    std::unique_lock bloqueo(mutex_);
    for (;;) {
        hay_.wait(bloqueo, [&] { return salir_ || (siguiente_ < total_ && activos_ < tope_); });
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
