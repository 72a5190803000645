// A copy is made final only when it is complete and consistent: hosts that send
// a short copy, rewrite a file while it is read, or answer one file of several
// with a malformed reply, through libSockVor.so as the command calls it.
#include "host_fixture.h"
#include "llamadas.h"
#include "sockvor.h"

#include <gtest/gtest.h>

namespace {

const std::string login = "x1";
const std::vector<std::string> nombres = {"a_201305.xml", "b_201305.xml", "c_201305.xml"};

struct Caso {
    const char *nombre;
    OpcionesHost opciones;
    // What each file's fetch returns, and a text its error must hold; after a
    // failure the command asks for nothing more.
    std::vector<int> codigos;
    const char *en_error;
};

void PrintTo(const Caso &c, std::ostream *os) {
    *os << c.nombre;
}

OpcionesHost con_b(std::vector<std::string> OpcionesHost::*campo, std::string valor) {
    OpcionesHost o;
    (o.*campo).push_back(std::move(valor));
    return o;
}

class Copia : public testing::TestWithParam<Caso> {};

TEST_P(Copia, CompletaYCoherenteONoSeDeposita) {
    const auto &c = GetParam();
    auto o = c.opciones;
    o.connect_timeout = 2; // the bound of the tries of a file that keeps changing
    HostSftp host(o);
    host.usa_home();
    unsigned semilla = 40;
    for (const auto &n : nombres) {
        host.crea_remoto(login, n, bytes_de_prueba(300000, semilla++));
    }
    ASSERT_NO_FATAL_FAILURE(lista_mayo(host, login));
    char error[SOCKVOR_TAM_ERROR];
    for (std::size_t i = 0; i < c.codigos.size(); ++i) {
        const std::string local = host.deposito() + "/" + nombres[i];
        int r =
            RecibeArchivo(host.direccion().c_str(), login.c_str(),
                          HostSftp::ruta_windows(login, nombres[i]).c_str(), local.c_str(), error);
        ASSERT_EQ(r, c.codigos[i]) << nombres[i] << ": " << error;
        if (r == SOCKVOR_OK) {
            // Whole, and the host's file as it stands: never a mix of two versions.
            EXPECT_EQ(lee_archivo(local), lee_archivo(host.ruta_local_remota(login, nombres[i])))
                << nombres[i];
        } else {
            EXPECT_NE(std::string(error).find(c.en_error), std::string::npos) << error;
            EXPECT_NE(std::string(error).find(nombres[i]), std::string::npos) << error;
        }
    }
    // Nothing after a failure made final, and no temporary file left of the file
    // that failed (those of files fetched ahead go when the process ends).
    auto depositados = archivos(host.deposito());
    std::erase_if(depositados, [](const std::string &n) { return n.front() == '.'; });
    EXPECT_EQ(depositados.size(),
              static_cast<std::size_t>(std::count(c.codigos.begin(), c.codigos.end(), 0)));
    for (const auto &o : ocultos(host.deposito())) {
        EXPECT_NE(o.rfind("." + nombres[c.codigos.size() - 1], 0), 0u) << o;
    }
}

INSTANTIATE_TEST_SUITE_P(
    SockVor, Copia,
    testing::Values(
        // End-of-file halfway while the host's stat says the whole size.
        Caso{"FinAntesDeTiempo",
             con_b(&OpcionesHost::fin_en, "b_201305.xml=100000"),
             {SOCKVOR_OK, SOCKVOR_E_REMOTO},
             "cambió mientras se leía"},
        // Rewritten in place after its first read: copied again, whole, as it is now.
        Caso{"ReescritoAlLeer",
             con_b(&OpcionesHost::reescritos, "b_201305.xml"),
             {SOCKVOR_OK, SOCKVOR_OK, SOCKVOR_OK},
             ""},
        // Every read of b answered short, wherever it falls: what is missing is
        // asked for again, and the copy is whole.
        Caso{"LecturasCortas",
             con_b(&OpcionesHost::cortos, "b_201305.xml"),
             {SOCKVOR_OK, SOCKVOR_OK, SOCKVOR_OK},
             ""},
        // b's malformed replies reach the library while it waits for a: they are
        // b's failure, told in b's turn; a is deposited.
        Caso{"RespuestaMalFormadaDeOtro",
             con_b(&OpcionesHost::mal_leidos, "b_201305.xml"),
             {SOCKVOR_OK, SOCKVOR_E_SFTP},
             "rompió el protocolo SFTP"}),
    [](const auto &info) { return std::string(info.param.nombre); });

} // namespace
