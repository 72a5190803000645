// libssh cannot bound an SFTP call by itself: its packet reader retries after
// every timeout, so a host that stops answering would hang the call for good.
// The watchdog gives each blocking call a deadline and, when the call makes no
// progress by then, shuts the socket down under it; libssh then sees the
// connection end and the call returns an error, which the caller reports as a
// timeout because disparo() says so.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace sockvor {

// The time the watchdog goes by and its sleep until a moment of it; the monotonic
// clock in the library, since a change of the calendar must not move a deadline.
class Reloj {
  public:
    using instante = std::chrono::steady_clock::time_point;
    virtual ~Reloj() = default;
    virtual instante ahora() = 0;
    // Sleeps on `cambio`, whose lock `bloqueo` holds, until notified or until `hasta`.
    virtual void duerme(std::condition_variable &cambio, std::unique_lock<std::mutex> &bloqueo,
                        std::optional<instante> hasta) = 0;
};

Reloj &reloj_monotono();

class Vigia {
  public:
    explicit Vigia(Reloj &reloj = reloj_monotono()) : reloj_(reloj) {}
    Vigia(const Vigia &) = delete;
    Vigia &operator=(const Vigia &) = delete;
    ~Vigia() { detiene(); }

    // Where the system refuses the watchdog its thread (a task limit), the call is cut at
    // once instead: the socket shut down, disparo() true and sin_hilo() the errno. A call
    // nothing bounds could hang for good.
    void arma(int fd, std::chrono::milliseconds plazo);
    void desarma();
    bool disparo();
    int sin_hilo();
    void olvida_disparo();
    // Joins the thread; arma() starts it again if needed.
    void detiene();

  private:
    void bucle();

    Reloj &reloj_;
    std::mutex mutex_;
    std::condition_variable cambio_;
    std::thread hilo_;
    bool salir_ = false;
    bool armado_ = false;
    bool disparado_ = false;
    int sin_hilo_ = 0;
    int fd_ = -1;
    Reloj::instante limite_{};
    // When the thread will next look, whatever is armed meanwhile.
    Reloj::instante despierta_ = Reloj::instante::max();
};

Vigia &vigia();

// Arms the watchdog for the lifetime of one blocking call.
class Guardia {
  public:
    Guardia(int fd, std::chrono::milliseconds plazo) { vigia().arma(fd, plazo); }
    Guardia(const Guardia &) = delete;
    Guardia &operator=(const Guardia &) = delete;
    ~Guardia() { vigia().desarma(); }
};

} // namespace sockvor
