#include "montaje.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

Montaje::Montaje(const std::string &programa, std::uint64_t semilla)
    : ruta_(base_.ruta() + "/montaje") {
    if (mkdir(ruta_.c_str(), 0755) != 0) {
        throw std::runtime_error("mkdir " + ruta_);
    }
    int entrada[2], salida[2];
    if (pipe2(entrada, O_CLOEXEC) != 0 || pipe2(salida, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    std::string texto_semilla = std::to_string(semilla);
    pid_ = fork();
    if (pid_ == 0) {
        // Should this process die without unmounting, the file system unmounts itself.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(entrada[0], STDIN_FILENO);
        dup2(salida[1], STDOUT_FILENO);
        execl(programa.c_str(), programa.c_str(), ruta_.c_str(), texto_semilla.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(entrada[0]);
    close(salida[1]);
    orden_ = entrada[1];
    aviso_ = salida[0];
    if (pid_ < 0) {
        throw std::runtime_error("fork");
    }
    try {
        espera_montado();
    } catch (...) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        close(orden_);
        close(aviso_);
        throw;
    }
}

Montaje::~Montaje() {
    close(orden_); // its next order is the end
    if (umount2(ruta_.c_str(), 0) != 0) {
        umount2(ruta_.c_str(), MNT_DETACH);
        kill(pid_, SIGTERM);
    }
    close(aviso_);
    waitpid(pid_, nullptr, 0);
}

void Montaje::espera_montado() {
    std::string linea;
    char c;
    while (true) {
        pollfd p{aviso_, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0 || read(aviso_, &c, 1) != 1) {
            throw std::runtime_error("corte_fs no montó " + ruta_);
        }
        if (c == '\n') {
            break;
        }
        linea += c;
    }
    if (linea != "montado") {
        throw std::runtime_error("corte_fs: " + linea);
    }
}

void Montaje::corta() {
    if (write(orden_, "corta\n", 6) != 6) {
        throw std::runtime_error("corte_fs no recibe órdenes");
    }
    if (umount2(ruta_.c_str(), 0) != 0) {
        throw std::runtime_error("umount " + ruta_ + ": " + std::strerror(errno));
    }
    espera_montado();
}
