// The watchdog on its own, over a socket pair: what no host test reaches, since each
// of those fails at its first deadline.
#include "ssh/vigia.h"

#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

// Past a deadline with nothing armed, the thread sleeps until something wakes it: the
// next call armed must, or that call's deadline never comes and the call hangs for good.
TEST(Vigia, InactivaTrasUnPlazoDisparaAlArmarlaOtraVez) {
    int par[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, par), 0);
    sockvor::Vigia vigia;
    vigia.arma(par[0], 20ms);
    vigia.desarma();
    std::this_thread::sleep_for(200ms); // the thread wakes at that deadline and idles
    EXPECT_FALSE(vigia.disparo()) << "fired with nothing armed";

    vigia.arma(par[0], 20ms);
    // The shutdown ends a read on the socket. The bound only turns a hang into a failure.
    pollfd p{par[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1) << "the watchdog never fired";
    char c;
    EXPECT_EQ(read(par[0], &c, 1), 0);
    EXPECT_TRUE(vigia.disparo());
    vigia.desarma();
    close(par[0]);
    close(par[1]);
}

namespace {

// A clock that moves only when the test moves it. The watchdog's thread sleeps until
// woken, whatever deadline it names; avanza() wakes it, and quieta() waits until it has
// read the time as it now is and gone back to sleep, so what it did is settled.
class RelojDePrueba : public sockvor::Reloj {
  public:
    instante ahora() override {
        std::lock_guard bloqueo(mutex_);
        leido_ = ahora_;
        return ahora_;
    }
    void duerme(std::condition_variable &cambio, std::unique_lock<std::mutex> &bloqueo,
                std::optional<instante>) override {
        {
            std::lock_guard propio(mutex_);
            cambio_ = &cambio;
            mutex_vigia_ = bloqueo.mutex();
            dormido_ = true;
            visto_ = leido_;
        }
        aviso_.notify_all();
        cambio.wait(bloqueo);
        std::lock_guard propio(mutex_);
        dormido_ = false;
    }
    void avanza(std::chrono::nanoseconds cuanto) {
        std::mutex *m;
        std::condition_variable *c;
        {
            std::lock_guard bloqueo(mutex_);
            ahora_ += cuanto;
            m = mutex_vigia_;
            c = cambio_;
        }
        // Under the watchdog's lock: it is asleep, or has yet to read the time.
        std::lock_guard bloqueo(*m);
        c->notify_all();
    }
    void quieta() {
        std::unique_lock bloqueo(mutex_);
        aviso_.wait(bloqueo, [&] { return dormido_ && visto_ == ahora_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable aviso_;
    instante ahora_{}, leido_{}, visto_ = instante::max();
    bool dormido_ = false;
    std::mutex *mutex_vigia_ = nullptr;
    std::condition_variable *cambio_ = nullptr;
};

} // namespace

// The watchdog fires when the timeout given has passed since the call was armed: not
// a tick before, and not a tick later.
TEST(Vigia, DisparaAlCumplirseElPlazoDado) {
    for (auto plazo : {2000ms, 45000ms}) {
        int par[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, par), 0);
        RelojDePrueba reloj;
        {
            sockvor::Vigia vigia(reloj);
            vigia.arma(par[0], plazo);
            reloj.quieta();
            reloj.avanza(plazo - 1ns);
            reloj.quieta();
            EXPECT_FALSE(vigia.disparo()) << plazo.count();
            reloj.avanza(1ns);
            reloj.quieta();
            EXPECT_TRUE(vigia.disparo()) << plazo.count();
            char c;
            EXPECT_EQ(recv(par[0], &c, 1, MSG_DONTWAIT), 0) << "the socket was not shut down";
            vigia.desarma();
        }
        close(par[0]);
        close(par[1]);
    }
}
