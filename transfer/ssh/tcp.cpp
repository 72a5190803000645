#include "ssh/tcp.h"

#include "errores.h"
#include "sockvor.h"
#include "ssh/ssh.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace sockvor {

namespace {

std::string con_puerto(const std::string &host, unsigned puerto) {
    bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(puerto);
}

} // namespace

std::string nombra(const std::string &ip, const std::string &host, unsigned puerto) {
    auto real = con_puerto(host, puerto);
    return real == ip ? ip : ip + " (" + real + ")";
}

Descriptor conecta_tcp(const std::string &ip, const std::string &host, unsigned puerto,
                       std::chrono::milliseconds plazo) {
    addrinfo pista{};
    pista.ai_family = AF_UNSPEC;
    pista.ai_socktype = SOCK_STREAM;
    addrinfo *lista = nullptr;
    int r = getaddrinfo(host.c_str(), std::to_string(puerto).c_str(), &pista, &lista);
    if (r != 0) {
        falla(SOCKVOR_E_CONEXION,
              "No se encontró el host " + ip + " (" + host + "): " + gai_strerror(r));
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> dueno(lista, freeaddrinfo);
    auto limite = std::chrono::steady_clock::now() + plazo;
    int ultimo = 0;
    bool vencido = false;
    for (auto *a = lista; a && !vencido; a = a->ai_next) {
        Descriptor fd(
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd) {
            ultimo = errno;
            continue;
        }
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
            if (errno != EINPROGRESS) {
                ultimo = errno;
                continue;
            }
            auto falta = std::chrono::duration_cast<std::chrono::milliseconds>(
                limite - std::chrono::steady_clock::now());
            pollfd p{fd.get(), POLLOUT, 0};
            int listo;
            do {
                listo = ::poll(&p, 1, static_cast<int>(std::max<long long>(falta.count(), 0)));
            } while (listo < 0 && errno == EINTR);
            if (listo == 0) {
                vencido = true;
                continue;
            }
            int error_socket = 0;
            socklen_t largo = sizeof error_socket;
            if (listo < 0 ||
                getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error_socket, &largo) != 0) {
                ultimo = errno;
                continue;
            }
            if (error_socket != 0) {
                ultimo = error_socket;
                continue;
            }
        }
        // libssh expects a blocking socket when it is handed one.
        int banderas = fcntl(fd.get(), F_GETFL);
        fcntl(fd.get(), F_SETFL, banderas & ~O_NONBLOCK);
        // Nagle plus delayed ACK costs ~40 ms on every small SFTP exchange.
        int uno = 1;
        setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &uno, sizeof uno);
        return fd;
    }
    if (vencido) {
        falla(SOCKVOR_E_TIEMPO,
              "El host " + ip + " no respondió en " + segundos(plazo) + " al conectar");
    }
    falla(SOCKVOR_E_CONEXION,
          "No se pudo conectar con el host " + nombra(ip, host, puerto) + ": " + causa(ultimo));
}

} // namespace sockvor
