// A folder that holds many months, listed through the library as the command
// lists it: June, then May. Its READDIRs go many at a time; whatever order
// the host answers them in, the list is whole, and a batch that fails ends
// the listing rather than shortening it.
#include "host_fixture.h"
#include "sockvor.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <optional>

namespace {

const std::string login = "x1";

// 6,000 names, four months interleaved: 60 answers of a Windows host's 100.
constexpr int cuantos = 6000;
const char *const meses[] = {"201306", "201305", "201304", "201206"};

std::string nombre(int i) {
    return "n" + std::to_string(i) + "_" + meses[i % 4] + ".xml";
}

std::vector<std::string> del_mes(const std::string &mes) {
    std::vector<std::string> n;
    for (int i = 0; i < cuantos; ++i) {
        if (meses[i % 4] == mes) {
            n.push_back(nombre(i));
        }
    }
    std::sort(n.begin(), n.end());
    return n;
}

struct Listado {
    int codigo;
    std::vector<std::string> nombres;
    std::string error;
};

Listado lista(const HostSftp &host, const std::string &mes, const std::string &quien = login) {
    std::vector<char> l(SOCKVOR_TAM_LISTA), e(SOCKVOR_TAM_ERROR);
    int r = ListaFolders(host.direccion().c_str(), quien.c_str(), "d",
                         HostSftp::ruta_windows(login, "*" + mes + "*.xml").c_str(), l.data(),
                         e.data());
    Listado res{r, {}, e.data()};
    std::string texto = l.data();
    for (std::size_t desde = 0; !texto.empty() && desde <= texto.size();) {
        auto hasta = std::min(texto.find(SOCKVOR_SEPARADOR, desde), texto.size());
        res.nombres.push_back(texto.substr(desde, hasta - desde));
        desde = hasta + 1;
    }
    return res;
}

// The host's log shows an end of the list answered before a batch of names.
bool fin_antes_que_nombres(const HostSftp &host) {
    bool fin = false;
    for (const auto &l : host.registro()) {
        if (l == "readdir 0") {
            fin = true;
        } else if (fin && l.rfind("readdir ", 0) == 0 && l != "readdir -1") {
            return true;
        }
    }
    return false;
}

struct CasoListado {
    const char *nombre;
    OpcionesHost opciones;
    int codigo_junio;
    int lecturas; // of the folder, for both listings
    bool desorden;
};

void PrintTo(const CasoListado &c, std::ostream *os) {
    *os << c.nombre;
}

class ListadoGrande : public testing::TestWithParam<CasoListado> {};

TEST_P(ListadoGrande, CadaNombreDelMesUnaVezYNingunOtro) {
    const auto &c = GetParam();
    HostSftp host(c.opciones);
    host.usa_home();
    for (int i = 0; i < cuantos; ++i) {
        host.crea_remoto(login, nombre(i), "");
    }
    auto junio = lista(host, "201306");
    EXPECT_EQ(junio.codigo, c.codigo_junio) << junio.error;
    if (c.codigo_junio == SOCKVOR_OK) {
        EXPECT_EQ(junio.nombres, del_mes("201306"));
    } else {
        EXPECT_TRUE(junio.nombres.empty());
        EXPECT_NE(junio.error.find("No se pudo leer la carpeta /D:/IDE/x1/Acuses en el host " +
                                   host.direccion() + ": falla en el servidor"),
                  std::string::npos)
            << junio.error;
    }
    // One read serves both months; a read that failed serves nothing.
    auto mayo = lista(host, "201305");
    ASSERT_EQ(mayo.codigo, SOCKVOR_OK) << mayo.error;
    EXPECT_EQ(mayo.nombres, del_mes("201305"));
    EXPECT_EQ(host.cuenta("opendir"), c.lecturas);
    EXPECT_EQ(host.cuenta("connect"), 1);
    if (c.desorden) {
        EXPECT_TRUE(fin_antes_que_nombres(host)) << "el fin no adelantó a ningún lote: no se probó";
    }
}

OpcionesHost windows(int falla_readdir = 0) {
    OpcionesHost o;
    o.windows = true;
    o.falla_readdir = falla_readdir;
    return o;
}

OpcionesHost en_desorden() {
    OpcionesHost o;
    o.fallas = {"out-of-order"};
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    SockVor, ListadoGrande,
    testing::Values(CasoListado{"WindowsCienPorRespuesta", windows(), SOCKVOR_OK, 1, false},
                    CasoListado{"UnLoteFallaEnMedio", windows(20), SOCKVOR_E_CARPETA, 2, false},
                    CasoListado{"RespuestasEnDesorden", en_desorden(), SOCKVOR_OK, 1, true}),
    [](const auto &info) { return std::string(info.param.nombre); });

// The read kept for the next listing answers that host and login alone: another host's,
// or another login's, listing of the same folder and month reads the folder itself.
TEST(SockVor, LecturaGuardadaSoloParaSuHostYSuLogin) {
    for (bool mismo_host : {false, true}) {
        SCOPED_TRACE(mismo_host ? "otro login" : "otro host");
        HostSftp primero;
        primero.usa_home();
        primero.crea_remoto(login, "a_201305.xml", "");
        ASSERT_EQ(lista(primero, "201306").codigo, SOCKVOR_NO_ENCONTRADO);
        std::optional<HostSftp> otro;
        if (!mismo_host) {
            otro.emplace();
            otro->usa_home();
        }
        const HostSftp &segundo = otro ? *otro : primero;
        segundo.crea_remoto(login, "b_201305.xml", "");
        auto mayo = lista(segundo, "201305", mismo_host ? "x2" : login);
        ASSERT_EQ(mayo.codigo, SOCKVOR_OK) << mayo.error;
        const std::vector<std::string> esperados =
            mismo_host ? std::vector<std::string>{"a_201305.xml", "b_201305.xml"}
                       : std::vector<std::string>{"b_201305.xml"};
        EXPECT_EQ(mayo.nombres, esperados);
    }
}

} // namespace
