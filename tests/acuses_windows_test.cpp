// The real acuses program with our real libSockVor.so against the loopback host
// acting as a Windows host's OpenSSH server (--windows): the command's main
// cases, status, output and deposit. The clock is June 2013.
#include "host_fixture.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <utility>

namespace fs = std::filesystem;

namespace {

const std::string login = "x1";
const std::string acuses = "/D:/IDE/x1/Acuses";

struct Remoto {
    std::string nombre;
    std::string contenido;
};

struct CasoWindows {
    const char *nombre;
    OpcionesHost opciones; // --windows and ConnectTimeout 2 are added
    std::string carpeta;   // where the files are stored, under the host's root
    std::vector<Remoto> remotos;
    int estado;
    // Standard output: exactly `salida` when it is given, else one line that
    // starts with `inicio` and holds each of `en_salida`. {D} stands for the
    // deposit folder, {H} for the host's address, {S} for the SSH folder.
    std::string salida;
    std::string inicio;
    std::vector<std::string> en_salida;
    std::string aviso; // what the one line on stderr holds after " AVISO "; "" none
    std::vector<std::string> depositados; // the deposit, each equal to the host's copy at the end
    int aperturas_de_b = 0;               // at most this many opens of b_201306.xml, when given
};

void PrintTo(const CasoWindows &c, std::ostream *os) {
    *os << c.nombre;
}

std::string con_marcas(std::string texto, const HostSftp &host) {
    const std::pair<std::string, std::string> marcas[] = {
        {"{D}", host.deposito()}, {"{H}", host.direccion()}, {"{S}", host.home() + "/.ssh"}};
    for (const auto &[marca, valor] : marcas) {
        for (auto p = texto.find(marca); p != std::string::npos; p = texto.find(marca)) {
            texto.replace(p, marca.size(), valor);
        }
    }
    return texto;
}

class AcusesWindows : public testing::TestWithParam<CasoWindows> {};

TEST_P(AcusesWindows, EstadoSalidaYDeposito) {
    const auto &c = GetParam();
    auto o = c.opciones;
    o.windows = true;
    o.connect_timeout = 2;
    HostSftp host(o);
    const std::string carpeta = host.raiz() + c.carpeta;
    fs::create_directories(carpeta);
    for (const auto &r : c.remotos) {
        escribe_archivo(carpeta + "/" + r.nombre, r.contenido);
    }
    Salida s;
    auto avisos = su_stderr(host.home() + "/stderr", [&] {
        s = corre_en_junio(ACUSES_BIN, host, host.direccion(), login, host.deposito());
    });
    EXPECT_EQ(s.estado, c.estado) << s.texto;
    if (!c.salida.empty()) {
        EXPECT_EQ(s.texto, con_marcas(c.salida, host));
    } else {
        EXPECT_EQ(s.texto.rfind(c.inicio, 0), 0u) << s.texto;
        EXPECT_EQ(std::count(s.texto.begin(), s.texto.end(), '\n'), 1) << s.texto;
        for (const auto &parte : c.en_salida) {
            EXPECT_NE(s.texto.find(con_marcas(parte, host)), std::string::npos)
                << "falta \"" << parte << "\" en: " << s.texto;
        }
    }
    if (c.aviso.empty()) {
        EXPECT_EQ(avisos, "");
    } else {
        EXPECT_EQ(avisos, " AVISO " + con_marcas(c.aviso, host) + "\n");
    }
    EXPECT_EQ(archivos(host.deposito()), c.depositados);
    for (const auto &n : c.depositados) {
        // Compared whole, not printed: a mismatch of binary contents would flood the log.
        EXPECT_TRUE(lee_archivo(host.deposito() + "/" + n) == lee_archivo(carpeta + "/" + n)) << n;
    }
    EXPECT_TRUE(ocultos(host.deposito()).empty());
    if (c.aperturas_de_b > 0) {
        EXPECT_LE(host.cuenta("open /D:/IDE/x1/Acuses/b_201306.xml"), c.aperturas_de_b);
    }
}

// More names than one READDIR reply carries (100), in both months and others.
std::vector<Remoto> mas_de_cien() {
    std::vector<Remoto> r;
    for (int i = 0; i < 120; ++i) {
        const char *mes = i % 3 == 0 ? "201306" : i % 3 == 1 ? "201305" : "201304";
        r.push_back({"n" + std::to_string(i) + "_" + mes + ".xml",
                     bytes_de_prueba(100 + 37 * i, static_cast<unsigned>(i))});
    }
    r.push_back({"b_201306.xml", bytes_de_prueba(300000, 1)});
    return r;
}

std::vector<std::string> nombres_de_mes(const std::vector<Remoto> &remotos) {
    std::vector<std::string> n;
    for (const auto &r : remotos) {
        if (r.nombre.find("201304") == std::string::npos) {
            n.push_back(r.nombre);
        }
    }
    std::sort(n.begin(), n.end());
    return n;
}

// b is large enough to take several reads.
const std::vector<Remoto> tres_de_junio = {{"a_201306.xml", bytes_de_prueba(4096, 2)},
                                           {"b_201306.xml", bytes_de_prueba(300000, 3)},
                                           {"c_201306.xml", bytes_de_prueba(5000, 4)},
                                           {"d_201305.xml", bytes_de_prueba(6000, 5)}};
const std::vector<std::string> los_cuatro = {"a_201306.xml", "b_201306.xml", "c_201306.xml",
                                             "d_201305.xml"};

OpcionesHost sin_autorizar() {
    OpcionesHost o;
    o.cliente_autorizado = false;
    return o;
}

OpcionesHost con(std::vector<std::string> OpcionesHost::*campo, std::string valor) {
    OpcionesHost o;
    (o.*campo).push_back(std::move(valor));
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    AcusesHost, AcusesWindows,
    testing::Values(
        CasoWindows{"MasDeCienNombres",
                    {},
                    acuses,
                    mas_de_cien(),
                    0,
                    " Se Depositaron 81 Acuses en {D}\n",
                    "",
                    {},
                    "",
                    nombres_de_mes(mas_de_cien())},
        // The login's folder stored in other case: Windows finds it all the same.
        CasoWindows{"CarpetaEnOtrasMayusculas",
                    {},
                    "/d:/ide/X1/ACUSES",
                    tres_de_junio,
                    0,
                    " Se Depositaron 4 Acuses en {D}\n",
                    "",
                    {},
                    "",
                    los_cuatro},
        // Not fetched and said so on stderr; stdout as if it were not there.
        CasoWindows{
            "ExtensionEnMayusculas",
            {},
            acuses,
            {{"A_201306.XML", "mayúsculas"}, {"b_201306.xml", "junio"}, {"c_201305.xml", "mayo"}},
            0,
            " Se Depositaron 2 Acuses en {D}\n",
            "",
            {},
            "El archivo \"A_201306.XML\" de /D:/IDE/x1/Acuses en el host {H} no se trae: "
            "coincide con *201306*.xml solo sin distinguir mayúsculas de minúsculas; "
            "renómbrelo en el host con la extensión en minúsculas",
            {"b_201306.xml", "c_201305.xml"}},
        CasoWindows{"LlaveRechazada",
                    sin_autorizar(),
                    acuses,
                    tres_de_junio,
                    3,
                    " ERROR Al Buscar Acuses: El host {H} no aceptó ninguna llave para el usuario "
                    "x1 (se probaron el agente SSH y las llaves de {S}). Agregue la llave pública "
                    "del usuario local al authorized_keys de x1 en el host (si es administrador "
                    "de Windows, a C:\\ProgramData\\ssh\\administrators_authorized_keys)\n",
                    "",
                    {},
                    "",
                    {}},
        // Held for good: tried until the bound, then told in its turn, with how long
        // the host refused it; what came before stays. Each pause is twice the one
        // before (0.5 s, 1 s...): tried ahead, then at its turn and 0.5, 1.5 and 2 s
        // after, the bound; a pause that did not grow would try it once more.
        CasoWindows{"RetenidoParaSiempre",
                    con(&OpcionesHost::retenidos, "b_201306.xml"),
                    acuses,
                    tres_de_junio,
                    4,
                    "",
                    " ERROR Al Traer el Acuses: ",
                    {"b_201306.xml", "(Failure)", "lo rechazó durante 2 s",
                     "otro programa del host lo tenga abierto"},
                    "",
                    {"a_201306.xml"},
                    5},
        // Rewritten after every read: tried again and again, then failed at the bound.
        CasoWindows{"CambiaSinParar",
                    con(&OpcionesHost::reescritos, "b_201306.xml=60"),
                    acuses,
                    tres_de_junio,
                    4,
                    "",
                    " ERROR Al Traer el Acuses: ",
                    {"b_201306.xml", "cambió mientras se leía una y otra vez",
                     "otro programa del host lo esté escribiendo"},
                    "",
                    {"a_201306.xml"}},
        // The only name of the month in capitals: said all the same.
        CasoWindows{"SoloEnMayusculas",
                    {},
                    acuses,
                    {{"A_201306.XML", "mayúsculas"}},
                    0,
                    " ===> No se encontraron Acuses del mes: 06/2013\n"
                    " ===> No se encontraron Acuses del mes: 05/2013\n"
                    " Se Depositaron 0 Acuses en {D}\n",
                    "",
                    {},
                    "El archivo \"A_201306.XML\" de /D:/IDE/x1/Acuses en el host {H} no se trae: "
                    "coincide con *201306*.xml solo sin distinguir mayúsculas de minúsculas; "
                    "renómbrelo en el host con la extensión en minúsculas",
                    {}},
        // Held a moment, or rewritten for a moment: it waits its moment.
        CasoWindows{"RetenidoUnMomento",
                    con(&OpcionesHost::retenidos, "b_201306.xml=1"),
                    acuses,
                    tres_de_junio,
                    0,
                    " Se Depositaron 4 Acuses en {D}\n",
                    "",
                    {},
                    "",
                    los_cuatro},
        CasoWindows{"CambiaYLuegoQuieto",
                    con(&OpcionesHost::reescritos, "b_201306.xml=1"),
                    acuses,
                    tres_de_junio,
                    0,
                    " Se Depositaron 4 Acuses en {D}\n",
                    "",
                    {},
                    "",
                    los_cuatro}),
    [](const auto &info) { return std::string(info.param.nombre); });

} // namespace
