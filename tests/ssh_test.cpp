// The SSH connection under the library: how it authenticates, trusts a host
// and ends, against the loopback asyncssh host and against ProFTPD's mod_sftp,
// through the real acuses program where the process's exit is part of it.
#include "host_fixture.h"
#include "proftpd_fixture.h"
#include "sockvor.h"

#include <gtest/gtest.h>

namespace {

const std::string login = "x1";

// The real program in June 2013 with `home` as its HOME: one run, one connection.
Salida corre(const std::string &home, const std::string &ip, const std::string &deposito,
             std::vector<std::string> entorno = {}) {
    entorno.insert(entorno.end(),
                   {"HOME=" + home, "SSH_AUTH_SOCK=", "ASAN_OPTIONS=verify_asan_link_order=0",
                    "FAKETIME_DONT_FAKE_MONOTONIC=1"});
    return ejecuta({"faketime", "@" + std::to_string(epoca_utc(2013, 6, 15, 12, 0)), ACUSES_BIN, ip,
                    login, deposito},
                   entorno);
}

std::size_t ocurrencias(const std::string &texto, const std::string &buscado) {
    std::size_t n = 0;
    for (auto p = texto.find(buscado); p != std::string::npos; p = texto.find(buscado, p + 1)) {
        ++n;
    }
    return n;
}

// The host reads our channel close and our DISCONNECT, as from OpenSSH's client:
// no session of its ends in a reset or a broken pipe.
TEST(Ssh, CadaCorridaTerminaConDisconnect) {
    HostProftpd host(login, "ed25519");
    host.crea_remoto("a_201306.xml", "junio");
    const int corridas = 3;
    for (int i = 0; i < corridas; ++i) {
        ASSERT_EQ(corre(host.home(), host.direccion(), host.deposito()).estado, 0);
    }
    auto registro = host.registro();
    EXPECT_EQ(ocurrencias(registro, "sent SSH_DISCONNECT message"), corridas) << registro;
    for (const char *mal : {"reset", "Broken pipe", "received EOF"}) {
        EXPECT_EQ(registro.find(mal), std::string::npos) << mal << " en:\n" << registro;
    }
}

// A host that stops answering once the session is being ended costs the exit
// at most the connection's timeout; the run's outcome stands.
TEST(Ssh, HostMudoAlTerminarNoRetieneLaSalida) {
    OpcionesHost o;
    o.fallas = {"mute-at-end"};
    o.connect_timeout = 2;
    HostSftp host(o);
    host.crea_remoto(login, "a_201306.xml", "junio");
    auto s = corre(host.home(), host.direccion(), host.deposito());
    EXPECT_EQ(s.estado, 0) << s.texto;
    EXPECT_EQ(s.texto, " ===> No se encontraron Acuses del mes: 05/2013\n"
                       " Se Depositaron 1 Acuses en " +
                           host.deposito() + "\n");
}

} // namespace
