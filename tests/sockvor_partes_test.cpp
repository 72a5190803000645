// The pieces of libSockVor.so that need no host: addresses, Windows paths,
// patterns, names, the SSH configuration, the error texts and the local deposit.
#include "deposito/carpetas.h"
#include "deposito/deposito.h"
#include "encierro/permitidas.h"
#include "errores.h"
#include "rutas.h"
#include "sftp/mensajes.h"
#include "sftp/paquetes.h"
#include "sockvor.h"
#include "ssh/cifrados.h"
#include "ssh/configssh.h"
#include "ssh/identidades.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace sockvor;

TEST(Partes, Direcciones) {
    const struct {
        const char *ip;
        bool valida;
        const char *host;
        int puerto;
    } casos[] = {
        {"host", true, "host", 0},
        {"host:2222", true, "host", 2222},
        {"10.0.0.1:22", true, "10.0.0.1", 22},
        {"[::1]:2222", true, "::1", 2222},
        {"[fe80::1]", true, "fe80::1", 0},
        {"::1", true, "::1", 0},
        {"alias-de-config", true, "alias-de-config", 0},
        {"host:0", false, "", 0},
        {"host:65536", false, "", 0},
        {"host:", false, "", 0},
        {":22", false, "", 0},
        {"host:22x", false, "", 0},
        {"[::1]x", false, "", 0},
        {"[::1", false, "", 0},
        {"[]:22", false, "", 0},
        {"ho st", false, "", 0},
        {"host\n", false, "", 0},
        {"", false, "", 0},
    };
    for (const auto &c : casos) {
        auto d = lee_direccion(c.ip);
        ASSERT_EQ(d.has_value(), c.valida) << c.ip;
        if (d) {
            EXPECT_EQ(d->host, c.host) << c.ip;
            EXPECT_EQ(d->puerto, c.puerto) << c.ip;
        }
    }
}

TEST(Partes, RutasWindowsASftp) {
    const struct {
        const char *windows;
        const char *carpeta;
        const char *nombre;
    } casos[] = {
        {"D:\\IDE\\x1\\Acuses\\*201305*.xml", "/D:/IDE/x1/Acuses", "*201305*.xml"},
        {"D:\\IDE\\x1\\Acuses\\a_201305.xml", "/D:/IDE/x1/Acuses", "a_201305.xml"},
        {"D:/IDE/x1/Acuses/a.xml", "/D:/IDE/x1/Acuses", "a.xml"},
        {"/D:/IDE/a.xml", "/D:/IDE", "a.xml"},
        {"D:\\a.xml", "/D:", "a.xml"},
        {"\\a.xml", "/", "a.xml"},
        {"a.xml", "/", "a.xml"},
    };
    for (const auto &c : casos) {
        auto r = ruta_sftp(c.windows);
        ASSERT_TRUE(r) << c.windows;
        EXPECT_EQ(r->carpeta, c.carpeta) << c.windows;
        EXPECT_EQ(r->nombre, c.nombre) << c.windows;
    }
    for (const char *sin_nombre : {"", "D:\\IDE\\", "D:/IDE/"}) {
        EXPECT_FALSE(ruta_sftp(sin_nombre)) << sin_nombre;
    }
}

TEST(Partes, PatronesComoWindows) {
    const std::string muchas_a(200, 'a');
    const struct {
        const char *patron, *nombre;
        bool coincide, ignorando_mayusculas;
    } casos[] = {
        {"*201305*.xml", "a_201305.xml", true, true},
        {"*201305*.xml", "201305.xml", true, true},
        {"*201305*.xml", "a_20130501_b.xml", true, true},
        {"*201305*.xml", "a_201305.XML", false, true},
        {"*201305*.xml", "A_201305.xMl", false, true},
        {"*201305*.xml", "a_201305.xml.bak", false, false},
        {"*201305*.xml", "a_201304.xml", false, false},
        {"*201305*.XML", "a_201305.xml", false, true},
        {"*201305*.xml", "a_2013.05.xml", false, false},
        {"*201305*.xml", "../a_201305.xml", true, true}, // refused later, by name
        {"a?c.xml", "abc.xml", true, true},
        {"a?c.xml", "AbC.xml", false, true},
        {"a?c.xml", "ac.xml", false, false},
        {"[ab].xml", "[ab].xml", true, true}, // brackets are not a class on Windows
        {"[ab].xml", "a.xml", false, false},
        {"*", "", true, true},
        {"", "", true, true},
        {"", "a", false, false},
        {"**a", "bba", true, true},
        {"**a", "bbA", false, true},
        {"*a*a*a*a*b", muchas_a.c_str(), false, false},
    };
    for (const auto &c : casos) {
        EXPECT_EQ(coincide(c.patron, c.nombre), c.coincide) << c.patron << " ~ " << c.nombre;
        EXPECT_EQ(coincide_ignorando_mayusculas(c.patron, c.nombre), c.ignorando_mayusculas)
            << c.patron << " ~ " << c.nombre;
    }
}

TEST(Partes, NombresQueLaListaNoPuedeSeparar) {
    const struct {
        std::string nombre;
        bool separable;
    } casos[] = {
        {"a_201305.xml", true},
        {"xml", true},
        {"año_201305.xml", true},
        {"a_201305.XML", false},
        {"a.xml.201305.xml", false},
        {"xmla_201305.xml", false},
        {"a\nb.xml", false},
        {"a\rb.xml", false},
        {std::string("a\0b.xml", 7), false},
        {"a\x7f.xml", false},
        {"a/b.xml", false},
        {"a\\b.xml", false},
        {"a.txt", false},
        {"", false},
    };
    for (const auto &c : casos) {
        EXPECT_EQ(!nombre_inseparable(c.nombre).has_value(), c.separable) << visible(c.nombre);
    }
}

TEST(Partes, ConnectTimeoutDeLaConfiguracion) {
    const std::string config = "# comentario\n"
                               "Host otro\n"
                               "    ConnectTimeout 7\n"
                               "Host acuses-* !acuses-lento\n"
                               "    ConnectTimeout=3\n"
                               "Match host x\n"
                               "    ConnectTimeout 9\n"
                               "Host *.lejano\n"
                               "  connecttimeout 45\n"
                               "Host *\n"
                               "    ConnectTimeout 11\n"
                               "    ConnectTimeout 12\n";
    const struct {
        const char *host;
        int segundos;
    } casos[] = {
        {"otro", 7}, {"OTRO", 7},      {"acuses-prueba", 3}, {"acuses-lento", 11},
        {"x", 11},   {"a.lejano", 45}, {"127.0.0.1", 11},
    };
    for (const auto &c : casos) {
        EXPECT_EQ(connect_timeout(config, c.host), c.segundos) << c.host;
    }
    EXPECT_EQ(connect_timeout("Host a\n ConnectTimeout 5\n", "b"), std::nullopt);
    EXPECT_EQ(connect_timeout("ConnectTimeout 4\nHost a\n ConnectTimeout 5\n", "a"), 4);
    EXPECT_EQ(connect_timeout("ConnectTimeout nada\n", "a"), std::nullopt);
    EXPECT_EQ(connect_timeout("ConnectTimeout \"6\"\r\n", "a"), 6);
}

// A Ciphers value over the default, as `ssh -G -o Ciphers=...` prints OpenSSH's over its
// own; "" where OpenSSH refuses the line.
TEST(Partes, CifradosComoOpenSsh) {
    const std::string aes = "aes128-gcm@openssh.com,aes256-gcm@openssh.com,"
                            "chacha20-poly1305@openssh.com,aes256-ctr,aes192-ctr,aes128-ctr";
    EXPECT_EQ(cifrados_por_omision(true), aes);
    EXPECT_EQ(cifrados_por_omision(false),
              "chacha20-poly1305@openssh.com,aes256-gcm@openssh.com,"
              "aes128-gcm@openssh.com,aes256-ctr,aes192-ctr,aes128-ctr");
    const struct {
        const char *valor;
        std::string lista;
    } casos[] = {
        {"aes256-ctr,,3des-cbc,aes256-ctr", "aes256-ctr,3des-cbc"},
        {"+aes128-cbc,aes128-ctr", aes + ",aes128-cbc"},
        {"-*-gcm@openssh.com,aes1*,nada", "chacha20-poly1305@openssh.com,aes256-ctr"},
        {"-*,!aes192-ctr", "aes192-ctr"},
        {"^aes128-ctr,chacha20-poly1305@openssh.com",
         "aes128-ctr,chacha20-poly1305@openssh.com,aes128-gcm@openssh.com,"
         "aes256-gcm@openssh.com,aes256-ctr,aes192-ctr"},
        {"aes256-ctr,bogus", ""},
        {"^", ""},
        {"-*", ""},
    };
    for (const auto &c : casos) {
        std::string lista;
        try {
            lista = cifrados_configurados(c.valor, true, "config", "h");
        } catch (const Fallo &f) {
            EXPECT_EQ(f.codigo, SOCKVOR_E_CONFIG);
            EXPECT_NE(f.texto.find(std::string("Ciphers ") + c.valor + " de config no sirve"),
                      std::string::npos)
                << f.texto;
        }
        EXPECT_EQ(lista, c.lista) << c.valor;
    }
}

TEST(Partes, NombresVisiblesEnUnaLinea) {
    EXPECT_EQ(visible("a\nb"), "a\\nb");
    EXPECT_EQ(visible("a\tb\r"), "a\\tb\\r");
    EXPECT_EQ(visible(std::string("\x01\x1f\x7f", 3)), "\\x01\\x1F\\x7F");
    EXPECT_EQ(visible("año\\b"), "año\\b");
    // C1 controls in UTF-8 (U+009B opens a terminal escape) and bytes that are not UTF-8.
    EXPECT_EQ(visible("a\xc2\x9b"
                      "31m"),
              "a\\xC2\\x9B31m");
    EXPECT_EQ(visible("\xff\xc3(\xe2\x82"), "\\xFF\\xC3(\\xE2\\x82");
    EXPECT_EQ(visible("\xed\xa0\x80\xc0\xaf"), "\\xED\\xA0\\x80\\xC0\\xAF");
    EXPECT_EQ(visible("€ 𝄞 \xc2\xa0"), "€ 𝄞 \xc2\xa0");
}

namespace {

// A reply as the host would frame it: type, id, then the fields as given.
struct Paquete {
    std::string bytes;
    Paquete &u8(int v) {
        bytes += static_cast<char>(v);
        return *this;
    }
    Paquete &u32(std::uint32_t v) {
        agrega_u32(bytes, v);
        return *this;
    }
    Paquete &cadena(const std::string &c) {
        agrega_cadena(bytes, c);
        return *this;
    }
};

Paquete respuesta(int tipo, std::uint32_t id = 7) {
    return Paquete{}.u8(tipo).u32(id);
}

} // namespace

// Nothing the host sends is trusted: each field must fit what is left of its
// packet, counts must fit the bytes they would need, and nothing may follow.
TEST(Partes, RespuestasSftp) {
    using namespace sockvor::sftp;
    const struct {
        const char *caso;
        std::string paquete;
        bool valida;
    } casos[] = {
        {"estado", respuesta(STATUS).u32(FX_EOF).cadena("fin").cadena("").bytes, true},
        {"estado sin mensaje", respuesta(STATUS).u32(FX_OK).bytes, true},
        {"estado con mensaje a medias", respuesta(STATUS).u32(4).cadena("x").bytes, false},
        {"handle", respuesta(HANDLE).cadena("h1").bytes, true},
        {"handle de 256 bytes", respuesta(HANDLE).cadena(std::string(256, 'h')).bytes, true},
        {"handle de 257 bytes", respuesta(HANDLE).cadena(std::string(257, 'h')).bytes, false},
        {"datos", respuesta(DATA).cadena("abc").bytes, true},
        {"datos más largos que el paquete", respuesta(DATA).u32(1000).bytes + "abc", false},
        {"datos con bytes de más", respuesta(DATA).cadena("abc").bytes + "z", false},
        {"nombres",
         respuesta(NAME)
             .u32(1)
             .cadena("a.xml")
             .cadena("-rw a.xml")
             .u32(0x0d)
             .u32(0)
             .u32(5)
             .u32(0100644)
             .u32(1)
             .u32(2)
             .bytes,
         true},
        {"cuenta de nombres imposible", respuesta(NAME).u32(0x10000000).bytes, false},
        {"banderas desconocidas", respuesta(ATTRS).u32(0x40).bytes, false},
        {"extendidos imposibles", respuesta(ATTRS).u32(0x80000000).u32(0xffffffff).bytes, false},
        {"tipo desconocido", respuesta(99).bytes, false},
        {"sin id", Paquete{}.u8(STATUS).bytes, false},
    };
    for (const auto &c : casos) {
        std::string motivo;
        auto r = lee_respuesta(c.paquete, motivo);
        // A malformed body still names its request; only a packet without an id has no owner.
        bool con_dueno = std::string_view(c.caso) != "sin id";
        ASSERT_EQ(r.has_value(), con_dueno) << c.caso << ": " << motivo;
        EXPECT_EQ(motivo.empty(), con_dueno) << c.caso;
        if (r) {
            EXPECT_EQ(r->id, 7u) << c.caso;
            auto *invalida = std::get_if<Invalida>(&r->cuerpo);
            EXPECT_EQ(invalida == nullptr, c.valida) << c.caso;
            EXPECT_TRUE(!invalida || !invalida->motivo.empty()) << c.caso;
        }
    }
    std::string motivo;
    auto n = lee_respuesta(casos[9].paquete, motivo);
    ASSERT_TRUE(n);
    const auto &e = std::get<Nombres>(n->cuerpo).entradas.at(0);
    EXPECT_EQ(e.nombre, "a.xml");
    EXPECT_EQ(e.largo, "-rw a.xml");
    EXPECT_EQ(e.atributos.tamano, 5u);
    EXPECT_EQ(e.atributos.permisos, 0100644u);
    EXPECT_EQ(e.atributos.mtime, 2u);

    // The stream splits at each length; one over the cap ends it.
    Ensamblador ensamblador;
    std::string dos = Paquete{}.u32(5).bytes + respuesta(STATUS).bytes.substr(0, 5) +
                      Paquete{}.u32(paquete_maximo + 1).bytes;
    ensamblador.agrega(dos.substr(0, 3));
    EXPECT_FALSE(ensamblador.siguiente(motivo));
    ensamblador.agrega(dos.substr(3));
    EXPECT_EQ(ensamblador.siguiente(motivo)->size(), 5u);
    EXPECT_FALSE(ensamblador.siguiente(motivo));
    EXPECT_NE(motivo, "");
}

// A long stream whose packets arrive split, as TCP cuts them: every packet comes
// out whole, and the room held stays within twice one packet and one piece,
// however much has passed.
TEST(Partes, EnsambladorAcotadoConPaquetesPartidos) {
    std::string flujo;
    std::vector<std::string> enviados;
    for (std::uint32_t i = 0; i < 3000; ++i) {
        enviados.push_back(std::string(1 + i * 37 % 1000, static_cast<char>('a' + i % 26)));
        flujo += Paquete{}.cadena(enviados.back()).bytes;
    }
    const std::size_t trozos[] = {1, 7, 333, 4099, 2, 1500};
    sftp::Ensamblador ensamblador;
    std::size_t recibidos = 0;
    std::string motivo;
    for (std::size_t desde = 0, i = 0; desde < flujo.size(); desde += trozos[i++ % 6]) {
        ensamblador.agrega(std::string_view(flujo).substr(desde, trozos[i % 6]));
        while (auto p = ensamblador.siguiente(motivo)) {
            ASSERT_EQ(*p, enviados.at(recibidos++));
        }
        ASSERT_LE(ensamblador.reservado(), 2 * (4 + 1000 + 4099)) << "tras " << desde << " bytes";
    }
    EXPECT_EQ(recibidos, enviados.size());
    EXPECT_EQ(motivo, "");
}

TEST(Partes, TextoDeErrorCabeYNoPartaCaracteres) {
    char buffer[SOCKVOR_TAM_ERROR + 8];
    std::memset(buffer, 'Z', sizeof buffer);
    // 510 ASCII bytes and then a two-byte "ñ": only one byte of room is left.
    std::string largo = std::string(510, 'a') + "ñ" + std::string(100, 'b');
    copia_error(buffer, largo);
    EXPECT_EQ(std::strlen(buffer), 510u);
    for (std::size_t i = SOCKVOR_TAM_ERROR; i < sizeof buffer; ++i) {
        EXPECT_EQ(buffer[i], 'Z');
    }
    copia_error(buffer, std::string(509, 'a') + "ñ" + "b");
    EXPECT_EQ(std::string(buffer), std::string(509, 'a') + "ñ");
    copia_error(buffer, "corto");
    EXPECT_STREQ(buffer, "corto");
}

namespace {

namespace fs = std::filesystem;

fs::path carpeta_nueva() {
    std::string plantilla = (fs::temp_directory_path() / "partes.XXXXXX").string();
    if (!::mkdtemp(plantilla.data())) {
        ADD_FAILURE() << "mkdtemp";
    }
    return plantilla;
}

void deposita(const fs::path &destino, const std::string &contenido) {
    Deposito d(destino.string());
    d.escribe(0, contenido.data(), contenido.size());
    d.confirma();
}

std::string lee(const fs::path &p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

} // namespace

// The bound of the connection and of every call: the user's ConnectTimeout, else the
// system's, else 30 s.
TEST(Partes, PlazoDeConexion) {
    auto carpeta = carpeta_nueva();
    const auto sin_plazo = carpeta / "sin_plazo", con_3 = carpeta / "con_3",
               con_7 = carpeta / "con_7";
    std::ofstream(sin_plazo) << "Host *\n    Port 2222\n";
    std::ofstream(con_3) << "Host *\n    ConnectTimeout 3\n";
    std::ofstream(con_7) << "ConnectTimeout 7\n";
    const struct {
        fs::path usuario, sistema;
        int segundos;
    } casos[] = {{sin_plazo, carpeta / "no_existe", 30}, {sin_plazo, con_7, 7}, {con_3, con_7, 3}};
    for (const auto &c : casos) {
        EXPECT_EQ(plazo_de_conexion(c.usuario.string(), c.sistema.string(), "h").count(),
                  c.segundos)
            << c.usuario << " " << c.sistema;
    }
    fs::remove_all(carpeta);
}

// The key holder's list: the IdentityFile lines that apply, the user's file
// first and each in its order, then libssh's three defaults, each path once;
// the agent from the first IdentityAgent, else SSH_AUTH_SOCK.
TEST(Partes, IdentidadesDeLaConfiguracion) {
    auto carpeta = carpeta_nueva();
    const auto usuario = carpeta / "usuario", sistema = carpeta / "sistema";
    std::ofstream(usuario) << "Host otro\n IdentityFile ~/.ssh/otra\n IdentityAgent none\n"
                              "Host del-entorno\n IdentityAgent SSH_AUTH_SOCK\n"
                              "Host h\n IdentityFile ~/.ssh/id_%r\n IdentityFile %d/id_rsa\n"
                              "Host *\n IdentityFile \"%d/con espacio_%h_%p%%\"\n";
    std::ofstream(sistema) << "IdentityFile /etc/llave\nIdentityAgent ~/agente\n";
    const std::vector<std::string> ambas = {usuario.string(), sistema.string()};
    const Expansion e{"/casa", "/casa/.ssh", "real", "x1", 2222};
    auto ids = identidades(ambas, "h", e, "/run/agente");
    EXPECT_EQ(ids.archivos,
              (std::vector<std::string>{"/casa/.ssh/id_x1", "/casa/.ssh/id_rsa",
                                        "/casa/.ssh/con espacio_real_2222%", "/etc/llave",
                                        "/casa/.ssh/id_ed25519", "/casa/.ssh/id_ecdsa"}));
    EXPECT_EQ(ids.agente, "/casa/agente");
    EXPECT_EQ(identidades(ambas, "otro", e, "/run/agente").agente, "");
    EXPECT_EQ(identidades(ambas, "del-entorno", e, "/run/agente").agente, "/run/agente");
    EXPECT_EQ(identidades({usuario.string()}, "h", e, "/run/agente").agente, "/run/agente");
    EXPECT_EQ(identidades({usuario.string()}, "h", e, nullptr).agente, "");
    fs::remove_all(carpeta);
}

// The rename's folder sync is put off, not dropped: the deposit is complete at its final
// name at once, and the folder's sync reports a folder that can no longer be synced.
TEST(Partes, DepositoConSincronizacionDiferida) {
    auto carpeta = carpeta_nueva();
    deposita(carpeta / "a.xml", "uno");
    deposita(carpeta / "a.xml", "dos");
    EXPECT_EQ(lee(carpeta / "a.xml"), "dos");
    EXPECT_EQ(std::distance(fs::directory_iterator(carpeta), {}), 1) << "temporary file left";
    EXPECT_TRUE(asegura_carpetas().empty());

    // A folder that is gone holds nothing left to keep; one turned into a file is a failure.
    auto ida = carpeta_nueva();
    deposita(ida / "b.xml", "tres");
    fs::remove_all(ida);
    deposita(carpeta / "c.xml", "cuatro");
    fs::rename(carpeta, carpeta.string() + ".movida");
    std::ofstream(carpeta) << "no es carpeta";
    auto fallas = asegura_carpetas();
    ASSERT_EQ(fallas.size(), 1u);
    EXPECT_NE(fallas[0].find(carpeta.string()), std::string::npos) << fallas[0];
    EXPECT_TRUE(asegura_carpetas().empty()) << "a folder is reported once";
    fs::remove(carpeta);
    fs::remove_all(carpeta.string() + ".movida");
}

// What was put off runs at exit whatever the status, and a failure there cannot pass
// for success.
TEST(Partes, SincronizacionAlSalirNoCallaUnaFalla) {
    auto carpeta = carpeta_nueva();
    EXPECT_EXIT(
        {
            deposita(carpeta / "a.xml", "uno");
            fs::rename(carpeta, carpeta.string() + ".movida");
            std::ofstream(carpeta) << "no es carpeta";
            std::exit(0);
        },
        testing::ExitedWithCode(4), "ERROR No se pudo asegurar en disco la carpeta .*partes");
    fs::remove(carpeta);
    fs::remove_all(carpeta.string() + ".movida");
    auto otra = carpeta_nueva();
    EXPECT_EXIT(
        {
            deposita(otra / "a.xml", "uno");
            std::exit(3);
        },
        testing::ExitedWithCode(3), "");
    EXPECT_EQ(lee(otra / "a.xml"), "uno");
    fs::remove_all(otra);
}

// Where Landlock cannot refuse a truncation (before its ABI 3), the filter
// refuses an open that would truncate, and lets every other open through.
TEST(Partes, FiltroVedaAbrirTruncandoDondeLandlockNoPuede) {
    auto carpeta = carpeta_nueva();
    const std::string archivo = (carpeta / "a.xml").string();
    std::ofstream(archivo) << "intacto";
    EXPECT_EXIT(
        {
            bool bien = permite_solo(Lista::deposito, {.vedar_truncado_al_abrir = true});
            auto negada = [](int r) { return r < 0 && errno == ENOSYS; };
            int lee = open(archivo.c_str(), O_RDONLY | O_CLOEXEC);
            bien =
                bien && lee >= 0 && negada(open(archivo.c_str(), O_RDONLY | O_TRUNC)) &&
                negada(static_cast<int>(syscall(SYS_open, archivo.c_str(), O_RDONLY | O_TRUNC))) &&
                negada(openat(AT_FDCWD, archivo.c_str(), O_WRONLY | O_TRUNC)) &&
                negada(creat(archivo.c_str(), 0644)) && negada(fchmod(lee, 0600)) &&
                openat(AT_FDCWD, archivo.c_str(), O_WRONLY | O_APPEND) >= 0;
            std::exit(bien ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(lee(carpeta / "a.xml"), "intacto");
    fs::remove_all(carpeta);
}
