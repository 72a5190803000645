// The watchdog on its own, over a socket pair: what no host test reaches, since each
// of those fails at its first deadline.
#include "vigia.h"

#include <gtest/gtest.h>
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
