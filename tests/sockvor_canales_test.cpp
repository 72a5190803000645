// Several SFTP channels over the one connection, through the real program or
// libSockVor.so against the loopback host: a large file read over several at
// once from a far host, many files over several from a far or busy host, a host
// that grants fewer than asked, one that closes a channel mid-run, and a failure
// on one channel told in its file's turn.
#include "host_fixture.h"
#include "llamadas.h"
#include "sockvor.h"

#include <gtest/gtest.h>

namespace {

const std::string login = "x1";

// Enough files for the run to ask for every channel it may.
std::vector<std::string> muchos_de_junio(const HostSftp &host, int cuantos) {
    std::vector<std::string> nombres;
    for (int i = 0; i < cuantos; ++i) {
        char nombre[32];
        std::snprintf(nombre, sizeof nombre, "f%03d_201306.xml", i);
        host.crea_remoto(login, nombre, bytes_de_prueba(3000 + 97 * i, static_cast<unsigned>(i)));
        nombres.push_back(nombre);
    }
    return nombres;
}

void revisa_depositados(const HostSftp &host, const std::vector<std::string> &nombres) {
    EXPECT_EQ(archivos(host.deposito()), nombres);
    for (const auto &n : nombres) {
        EXPECT_TRUE(lee_archivo(host.deposito() + "/" + n) ==
                    lee_archivo(host.ruta_local_remota(login, n)))
            << n;
    }
}

// Each row sets the library's thresholds well clear of the host it plays, on
// the side it means, however busy the machine: a far host answers 40 ms late
// and a slow one takes 20 ms per open, against thresholds of 10 ms; a near and
// quick one is held to thresholds it cannot reach.
constexpr int lejos_ms = 40;
constexpr int umbral_ms = 10;
constexpr int lento_ms = 20;

// Opens that take a moment, one at a time per channel, as a busy Windows host
// serves them: the files spread over every channel the host grants.
OpcionesHost con_canales(int maximo, std::vector<std::string> cierra = {}) {
    OpcionesHost o;
    o.demora_apertura_ms = lento_ms;
    o.max_canales = maximo;
    o.cierra_canal = std::move(cierra);
    return o;
}

// A host as far and as quick to open files as a row says, and whether the run
// should take more channels than one from it.
struct Anfitrion {
    const char *nombre;
    int latencia_ms;
    int demora_apertura_ms;
    bool varios;
    int umbral() const { return varios ? umbral_ms : inalcanzable_ms; }

    OpcionesHost opciones() const {
        OpcionesHost o;
        o.latencia_ms = latencia_ms;
        o.demora_apertura_ms = demora_apertura_ms;
        return o;
    }
};

void PrintTo(const Anfitrion &a, std::ostream *os) {
    *os << a.nombre;
}

std::string nombre_de(const testing::TestParamInfo<Anfitrion> &i) {
    return i.param.nombre;
}

void revisa_canales(const HostSftp &host, bool varios) {
    if (varios) {
        EXPECT_GE(host.cuenta("channel"), 2);
    } else {
        EXPECT_EQ(host.cuenta("channel"), 1);
    }
}

class ArchivoGrande : public testing::TestWithParam<Anfitrion> {};

// Far away one channel's window limits a big file, so it is read over several;
// close by, one channel already keeps both ends busy.
TEST_P(ArchivoGrande, PorVariosCanalesSoloSiElHostEstaLejos) {
    Umbrales fijados(GetParam().umbral());
    HostSftp host(GetParam().opciones());
    host.usa_home();
    const std::string nombre = "grande_201305.xml";
    host.crea_remoto(login, nombre, bytes_de_prueba(24u << 20, 7));
    ASSERT_NO_FATAL_FAILURE(lista_mayo(host, login));
    char error[SOCKVOR_TAM_ERROR];
    const std::string local = host.deposito() + "/" + nombre;
    ASSERT_EQ(RecibeArchivo(host.direccion().c_str(), login.c_str(),
                            HostSftp::ruta_windows(login, nombre).c_str(), local.c_str(), error),
              SOCKVOR_OK)
        << error;
    EXPECT_TRUE(lee_archivo(local) == lee_archivo(host.ruta_local_remota(login, nombre)));
    revisa_canales(host, GetParam().varios);
    const auto aperturas = host.cuenta("open /D:/IDE/x1/Acuses/" + nombre);
    if (GetParam().varios) {
        EXPECT_GE(aperturas, 2) << "leído por un solo canal";
    } else {
        EXPECT_EQ(aperturas, 1);
    }
    EXPECT_EQ(host.cuenta("connect"), 1);
}

INSTANTIATE_TEST_SUITE_P(Canales, ArchivoGrande,
                         testing::Values(Anfitrion{"Cerca", 0, 0, false},
                                         Anfitrion{"Lejos", lejos_ms, 0, true}),
                         nombre_de);

class MuchosArchivos : public testing::TestWithParam<Anfitrion> {};

// Many small files take more channels where they pay: far away, or from a host
// slow to open each file. A quick host close by is served best by one.
TEST_P(MuchosArchivos, VariosCanalesSoloSiRinden) {
    HostSftp host(GetParam().opciones());
    auto nombres = muchos_de_junio(host, 60);
    auto s = corre_en_junio(ACUSES_BIN, host, host.direccion(), login, host.deposito(),
                            umbrales(GetParam().umbral()));
    EXPECT_EQ(s.estado, 0) << s.texto;
    revisa_depositados(host, nombres);
    revisa_canales(host, GetParam().varios);
}

INSTANTIATE_TEST_SUITE_P(Canales, MuchosArchivos,
                         testing::Values(Anfitrion{"CercaYRapido", 0, 0, false},
                                         Anfitrion{"Lejos", lejos_ms, 0, true},
                                         Anfitrion{"LentoParaAbrir", 0, lento_ms, true}),
                         nombre_de);

struct Caso {
    const char *nombre;
    OpcionesHost opciones;
    bool cierra; // the host closes a channel mid-run
};

void PrintTo(const Caso &c, std::ostream *os) {
    *os << c.nombre;
}

class CanalesDelHost : public testing::TestWithParam<Caso> {};

// Whatever channels the host grants or takes back, every file comes, over one connection.
TEST_P(CanalesDelHost, TodosLosArchivosPorUnaConexion) {
    HostSftp host(GetParam().opciones);
    // More than the first channel takes while the others open.
    auto nombres = muchos_de_junio(host, 240);
    auto s = corre_en_junio(ACUSES_BIN, host, host.direccion(), login, host.deposito(),
                            umbrales(umbral_ms));
    EXPECT_EQ(s.estado, 0) << s.texto;
    revisa_depositados(host, nombres);
    EXPECT_TRUE(ocultos(host.deposito()).empty());
    EXPECT_EQ(host.cuenta("connect"), 1);
    if (GetParam().cierra) {
        EXPECT_EQ(host.cuenta("closed channel 2"), 1);
        EXPECT_GT(host.cuenta("open"), 240) << "nada de lo que llevaba se pidió otra vez";
    }
}

INSTANTIATE_TEST_SUITE_P(SockVor, CanalesDelHost,
                         testing::Values(Caso{"UnoSolo", con_canales(1), false},
                                         Caso{"Dos", con_canales(2), false},
                                         // The second channel closed by the host after a few
                                         // answers: what it carried comes again, on the others.
                                         Caso{"UnoCerradoAMitad", con_canales(0, {"2=12"}), true}),
                         [](const auto &info) { return std::string(info.param.nombre); });

// A file the host answers malformed, among many spread over the channels: the
// failure is told in its turn; the files before it stay, none after is final.
TEST(Canales, FallaEnUnCanalSeDiceEnSuTurno) {
    OpcionesHost o = con_canales(0);
    o.mal_leidos = {"f030_201306.xml"};
    HostSftp host(o);
    auto nombres = muchos_de_junio(host, 60);
    auto s = corre_en_junio(ACUSES_BIN, host, host.direccion(), login, host.deposito(),
                            umbrales(umbral_ms));
    EXPECT_EQ(s.estado, 4) << s.texto;
    EXPECT_EQ(s.texto.rfind(" ERROR Al Traer el Acuses: ", 0), 0u) << s.texto;
    EXPECT_NE(s.texto.find("f030_201306.xml"), std::string::npos) << s.texto;
    EXPECT_NE(s.texto.find("rompió el protocolo"), std::string::npos) << s.texto;
    revisa_depositados(host, std::vector<std::string>(nombres.begin(), nombres.begin() + 30));
    EXPECT_TRUE(ocultos(host.deposito()).empty());
    EXPECT_GE(host.cuenta("channel"), 2) << "los archivos no se repartieron";
}

} // namespace
