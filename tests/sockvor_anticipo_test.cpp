// What the library promises of the files it fetches ahead after a listing, seen
// through its two functions against the loopback host.
//
// The first file listed is large and the others small. The host answers requests
// in the order they come, and a file's reads go out only after its open is
// answered, so every small file is opened, read and closed (its handle freed for
// the next) while the large one still has most of its reads to come: the small
// ones are complete in their temporary files, and every one of them asked of the
// host, before the large one is.
#include "host_fixture.h"
#include "sockvor.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

const std::string login = "x1";
// 512 reads of 32 KiB: several times what the small files need, were they hundreds.
constexpr std::size_t grande = 16u << 20;

// The large file first, then `pequenos` small ones, listed; their names in list order.
std::vector<std::string> lista_grande_y_pequenos(const HostSftp &host, int pequenos) {
    std::vector<std::string> nombres = {"a_201305.xml"};
    host.crea_remoto(login, nombres[0], bytes_de_prueba(grande, 1));
    for (int i = 0; i < pequenos; ++i) {
        char nombre[32];
        std::snprintf(nombre, sizeof nombre, "b_%03d_201305.xml", i);
        nombres.push_back(nombre);
        host.crea_remoto(login, nombre, bytes_de_prueba(100 + i, 2 + i));
    }
    host.usa_home();
    std::vector<char> lista(SOCKVOR_TAM_LISTA);
    char error[SOCKVOR_TAM_ERROR];
    EXPECT_EQ(ListaFolders(host.direccion().c_str(), login.c_str(), "d",
                           HostSftp::ruta_windows(login, "*201305*.xml").c_str(), lista.data(),
                           error),
              SOCKVOR_OK)
        << error;
    return nombres;
}

int recibe(const HostSftp &host, const std::string &nombre) {
    char error[SOCKVOR_TAM_ERROR];
    int r = RecibeArchivo(host.direccion().c_str(), login.c_str(),
                          HostSftp::ruta_windows(login, nombre).c_str(),
                          (host.deposito() + "/" + nombre).c_str(), error);
    EXPECT_EQ(r, SOCKVOR_OK) << nombre << ": " << error;
    return r;
}

// A file fetched ahead and complete takes its name only in its own call, also when
// the call before it succeeded.
TEST(Anticipo, CompletoSoloSeDepositaCuandoSePide) {
    HostSftp host;
    auto nombres = lista_grande_y_pequenos(host, 3);
    ASSERT_EQ(recibe(host, nombres[0]), SOCKVOR_OK);
    const std::string siguiente = nombres[1];
    EXPECT_FALSE(fs::exists(host.deposito() + "/" + siguiente)) << "depositado antes de pedirlo";
    std::vector<std::string> suyos;
    for (const auto &t : ocultos(host.deposito())) {
        if (t.rfind("." + siguiente + ".", 0) == 0) {
            suyos.push_back(t);
        }
    }
    ASSERT_EQ(suyos.size(), 1u) << "no se trajo por adelantado";
    EXPECT_EQ(lee_archivo(host.deposito() + "/" + suyos[0]),
              lee_archivo(host.ruta_local_remota(login, siguiente)))
        << "aún no estaba completo: la prueba no probó nada";
    for (std::size_t i = 1; i < nombres.size(); ++i) {
        ASSERT_EQ(recibe(host, nombres[i]), SOCKVOR_OK);
        EXPECT_EQ(lee_archivo(host.deposito() + "/" + nombres[i]),
                  lee_archivo(host.ruta_local_remota(login, nombres[i])));
    }
    EXPECT_TRUE(ocultos(host.deposito()).empty());
}

// Every close gives its handle back to the budget the files in flight share: a
// listing of more files than that budget allows open at once is still fetched
// ahead to its end, each file asked of the host before the command asks for it.
TEST(Anticipo, MasArchivosQueHandlesSeTraenPorAdelantadoHastaElFinal) {
    Umbrales uno(inalcanzable_ms); // one channel's budget, however busy the machine
    HostSftp host;
    auto nombres = lista_grande_y_pequenos(host, 200);
    std::vector<std::string> tarde; // asked of the host only once the command asked
    for (const auto &nombre : nombres) {
        if (nombre != nombres[0] && host.cuenta("open /D:/IDE/x1/Acuses/" + nombre) != 1) {
            tarde.push_back(nombre);
        }
        ASSERT_EQ(recibe(host, nombre), SOCKVOR_OK);
    }
    EXPECT_EQ(tarde, std::vector<std::string>{});
    EXPECT_EQ(host.cuenta("channel"), 1);
}

} // namespace
