// A few threads that run the flushes of one batch at once. A file system commits the
// flushes in flight together (ext4's journal and xfs's log in one commit, the block
// layer's cache flushes folded into one), where issued one after another each would wait
// for the device on its own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sockvor {

class Cuadrilla {
  public:
    Cuadrilla() = default;
    Cuadrilla(const Cuadrilla &) = delete;
    Cuadrilla &operator=(const Cuadrilla &) = delete;
    ~Cuadrilla() { detiene(); }

    // Runs trabajo(0) to trabajo(n - 1), at most `a_la_vez` at once, spread over the
    // threads and the caller, and returns once every one has. Threads start as a batch
    // first needs them, and stay; those the system refuses are done without.
    void reparte(std::size_t n, std::size_t a_la_vez,
                 const std::function<void(std::size_t)> &trabajo);
    // Stops the threads (none may be in reparte()); the next reparte() starts them anew.
    void detiene();

  private:
    void obrero();
    // Takes and runs pieces of the current batch until none is left; `bloqueo` held.
    void trabaja(std::unique_lock<std::mutex> &bloqueo);

    std::mutex mutex_;
    std::condition_variable hay_, listo_;
    const std::function<void(std::size_t)> *trabajo_ = nullptr;
    std::size_t total_ = 0, siguiente_ = 0, hechos_ = 0;
    std::size_t activos_ = 0, tope_ = 0; // pieces being run, and how many may be
    bool salir_ = false;
    std::vector<std::thread> hilos_;
};

} // namespace sockvor
