// The loopback host's options that make it act as other hosts, each through
// libSockVor.so once: whatever the library makes of it, its buffers stay
// whole, and the host did what the option says.
#include "host_fixture.h"
#include "sockvor.h"

#include <cstring>
#include <functional>
#include <gtest/gtest.h>

namespace {

const std::string login = "x1";

struct Corrida {
    int lista = 0;
    std::vector<int> codigos; // one per file fetched, in the list's order
    std::vector<std::string> errores;
};

// The listing of May, then each listed file as the command fetches it.
Corrida corre(const HostSftp &host) {
    Corrida c;
    std::vector<char> lista(SOCKVOR_TAM_LISTA);
    char error[SOCKVOR_TAM_ERROR];
    c.lista =
        ListaFolders(host.direccion().c_str(), login.c_str(), "d",
                     HostSftp::ruta_windows(login, "*201305*.xml").c_str(), lista.data(), error);
    EXPECT_NE(std::memchr(error, '\0', sizeof error), nullptr);
    for (const char *n : {"a_201305.xml", "b_201305.xml"}) {
        if (c.lista != SOCKVOR_OK) {
            break;
        }
        c.codigos.push_back(RecibeArchivo(host.direccion().c_str(), login.c_str(),
                                          HostSftp::ruta_windows(login, n).c_str(),
                                          (host.deposito() + "/" + n).c_str(), error));
        EXPECT_NE(std::memchr(error, '\0', sizeof error), nullptr);
        c.errores.push_back(error);
    }
    return c;
}

struct CasoOpcion {
    const char *nombre;
    OpcionesHost opciones;
    // What shows that the option acted, on the host's side or in the library's answer.
    std::function<void(const HostSftp &, const Corrida &)> revisa;
};

void PrintTo(const CasoOpcion &c, std::ostream *os) {
    *os << c.nombre;
}

const std::string b_original = bytes_de_prueba(300000, 2);

class OpcionDelHost : public testing::TestWithParam<CasoOpcion> {};

TEST_P(OpcionDelHost, ActuaYLaBibliotecaLoSoporta) {
    const auto &c = GetParam();
    auto o = c.opciones;
    o.connect_timeout = 2;
    HostSftp host(o);
    host.usa_home();
    host.crea_remoto(login, "a_201305.xml", bytes_de_prueba(5000, 1));
    host.crea_remoto(login, "b_201305.xml", b_original);
    auto corrida = corre(host);
    c.revisa(host, corrida);
}

template <class Campo> OpcionesHost con(Campo OpcionesHost::*campo, Campo valor) {
    OpcionesHost o;
    o.*campo = std::move(valor);
    return o;
}

using Nombres = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    SockVor, OpcionDelHost,
    testing::Values(
        // A file another program holds for good cannot be fetched: the host's word is quoted.
        CasoOpcion{"Retenido", con(&OpcionesHost::retenidos, Nombres{"b_201305.xml"}),
                   [](const HostSftp &, const Corrida &c) {
                       ASSERT_EQ(c.codigos.size(), 2u);
                       EXPECT_EQ(c.codigos[0], SOCKVOR_OK) << c.errores[0];
                       EXPECT_NE(c.errores[1].find("(Failure)"), std::string::npos) << c.errores[1];
                   }},
        CasoOpcion{"LecturaMalFormada", con(&OpcionesHost::mal_leidos, Nombres{"b_201305.xml"}),
                   [](const HostSftp &, const Corrida &c) {
                       ASSERT_EQ(c.codigos.size(), 2u);
                       EXPECT_NE(c.codigos[1], SOCKVOR_OK);
                   }},
        CasoOpcion{"Reescrito", con(&OpcionesHost::reescritos, Nombres{"b_201305.xml"}),
                   [](const HostSftp &h, const Corrida &) {
                       auto ahora = lee_archivo(h.ruta_local_remota(login, "b_201305.xml"));
                       EXPECT_EQ(ahora.size(), b_original.size());
                       EXPECT_NE(ahora, b_original);
                   }},
        // A slow host is slow, not silent.
        CasoOpcion{"AperturaLenta", con(&OpcionesHost::demora_apertura_ms, 300),
                   [](const HostSftp &, const Corrida &c) {
                       EXPECT_EQ(c.codigos, (std::vector<int>{SOCKVOR_OK, SOCKVOR_OK}));
                   }},
        CasoOpcion{"UnCanal", con(&OpcionesHost::max_canales, 1),
                   [](const HostSftp &h, const Corrida &c) {
                       EXPECT_EQ(c.codigos, (std::vector<int>{SOCKVOR_OK, SOCKVOR_OK}));
                       EXPECT_GE(h.cuenta("channel"), 1);
                   }},
        // What follows the library is yet to handle: only run, nothing asserted of it.
        CasoOpcion{"CanalCerrado", con(&OpcionesHost::cierra_canal, Nombres{"1=3"}),
                   [](const HostSftp &h, const Corrida &) { EXPECT_GE(h.cuenta("channel"), 1); }}),
    [](const auto &info) { return std::string(info.param.nombre); });

} // namespace
