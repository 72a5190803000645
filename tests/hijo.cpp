#include "hijo.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// All `largo` bytes through read() or write(), or false.
template <class Byte, class Llamada>
bool todo(Llamada llamada, int fd, Byte *p, std::size_t largo) {
    while (largo > 0) {
        ssize_t n = llamada(fd, p, largo);
        if (n <= 0) {
            return false;
        }
        p += n;
        largo -= static_cast<std::size_t>(n);
    }
    return true;
}

bool escribe_todo(int fd, const void *datos, std::size_t largo) {
    return todo(write, fd, static_cast<const char *>(datos), largo);
}

bool lee_todo(int fd, void *datos, std::size_t largo) {
    return todo(read, fd, static_cast<char *>(datos), largo);
}

[[noreturn]] void atiende(const std::vector<std::function<std::string()>> &pasos, int orden,
                          int respuesta) {
    char c;
    for (const auto &p : pasos) {
        if (read(orden, &c, 1) != 1) {
            break;
        }
        std::string r = p();
        std::uint64_t largo = r.size();
        if (!escribe_todo(respuesta, &largo, sizeof largo) ||
            !escribe_todo(respuesta, r.data(), r.size())) {
            break;
        }
    }
    while (read(orden, &c, 1) > 0) {
    }
    // A failed EXPECT in the child is the child's own: the status carries it back.
    std::exit(testing::Test::HasFailure() ? 1 : 0);
}

} // namespace

Hijo::Hijo(std::vector<std::function<std::string()>> pasos) {
    int orden[2], respuesta[2];
    if (pipe2(orden, O_CLOEXEC) != 0 || pipe2(respuesta, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    // What stdio holds would otherwise be written twice, once by each process.
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork");
    }
    if (pid_ == 0) {
        close(orden[1]);
        close(respuesta[0]);
        atiende(pasos, orden[0], respuesta[1]);
    }
    close(orden[0]);
    close(respuesta[1]);
    orden_ = orden[1];
    respuesta_ = respuesta[0];
}

Hijo::~Hijo() {
    if (pid_ > 0) {
        termina();
    }
}

std::string Hijo::paso() {
    std::uint64_t largo = 0;
    if (orden_ < 0 || !escribe_todo(orden_, "x", 1) ||
        !lee_todo(respuesta_, &largo, sizeof largo)) {
        throw std::runtime_error("el proceso hijo terminó con estado " + std::to_string(termina()) +
                                 " sin dar el paso");
    }
    std::string r(largo, '\0');
    if (!lee_todo(respuesta_, r.data(), r.size())) {
        throw std::runtime_error("el proceso hijo no terminó de responder");
    }
    return r;
}

int Hijo::termina() {
    if (pid_ <= 0) {
        return -1;
    }
    close(orden_);
    close(respuesta_);
    orden_ = respuesta_ = -1;
    int estado = 0;
    waitpid(pid_, &estado, 0);
    pid_ = -1;
    return WIFEXITED(estado) ? WEXITSTATUS(estado) : 128 + WTERMSIG(estado);
}
