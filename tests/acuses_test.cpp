// The real program, run as a process against the scripted stand-in library
// (loaded through LD_LIBRARY_PATH in place of ours) with the clock set by faketime.
#include "proceso.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kJunio2013 = std::to_string(epoca_utc(2013, 6, 15, 12, 0));
const std::string kEnero2014 = std::to_string(epoca_utc(2014, 1, 10, 12, 0));

struct Llamada {
    std::string funcion, ip, login, tercero, cuarto;
};

class Acuses : public ::testing::Test {
  protected:
    CarpetaTemporal tmp;
    std::string deposito = tmp.ruta() + "/deposito";
    std::string guion = tmp.ruta() + "/guion";
    std::string registro = tmp.ruta() + "/registro";
    std::vector<std::string> extra;

    void SetUp() override { std::filesystem::create_directory(deposito); }

    Salida corre(const std::vector<std::string> &args, const std::string &cuando = kJunio2013,
                 const std::string &zona = "UTC") {
        std::vector<std::string> argv{"faketime", "@" + cuando, ACUSES_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> entorno{"LD_LIBRARY_PATH=" SUSTITUTO_DIR, "SOCKVOR_GUION=" + guion,
                                         "SOCKVOR_REGISTRO=" + registro, "TZ=" + zona,
                                         // faketime preloads itself ahead of the sanitizer runtime.
                                         "ASAN_OPTIONS=verify_asan_link_order=0"};
        entorno.insert(entorno.end(), extra.begin(), extra.end());
        return ejecuta(argv, entorno);
    }
    Salida corre_normal() { return corre({"10.0.0.7", "x1", deposito}); }

    void guion_(const std::string &texto) { escribe_archivo(guion, texto); }

    std::vector<Llamada> llamadas(const std::string &funcion = "") {
        std::vector<Llamada> r;
        std::istringstream s(lee_archivo(registro));
        std::string linea;
        while (std::getline(s, linea)) {
            std::istringstream campos(linea);
            Llamada l;
            std::getline(campos, l.funcion, '\t');
            std::getline(campos, l.ip, '\t');
            std::getline(campos, l.login, '\t');
            std::getline(campos, l.tercero, '\t');
            std::getline(campos, l.cuarto, '\t');
            if (funcion.empty() || l.funcion == funcion)
                r.push_back(l);
        }
        return r;
    }
    std::vector<std::string> traidos() {
        std::vector<std::string> r;
        for (const auto &l : llamadas("RecibeArchivo"))
            r.push_back(l.tercero.substr(l.tercero.rfind("\\\\") + 2));
        return r;
    }
};

TEST_F(Acuses, WrongArgumentCountPrintsUsageAndTouchesNothing) {
    for (const auto &args :
         std::vector<std::vector<std::string>>{{}, {"h", "x1"}, {"h", "x1", "/srv", "extra"}}) {
        Salida s = corre(args);
        EXPECT_EQ(s.estado, 1);
        EXPECT_EQ(s.texto, std::string("Uso: ") + ACUSES_BIN +
                               "    ipRemota  loginRemoto, rutaDespositoAcuse\n");
        EXPECT_FALSE(std::filesystem::exists(registro));
    }
}

TEST_F(Acuses, ListsCurrentMonthThenMonthBeforeWithExactArguments) {
    Salida s = corre_normal();
    EXPECT_EQ(s.estado, 0);
    EXPECT_EQ(s.texto, " ===> No se encontraron Acuses del mes: 06/2013\n"
                       " ===> No se encontraron Acuses del mes: 05/2013\n"
                       " Se Depositaron 0 Acuses en " +
                           deposito + "\n");
    auto l = llamadas();
    ASSERT_EQ(l.size(), 2u);
    for (const auto &llamada : l) {
        EXPECT_EQ(llamada.funcion, "ListaFolders");
        EXPECT_EQ(llamada.ip, "10.0.0.7");
        EXPECT_EQ(llamada.login, "x1");
        EXPECT_EQ(llamada.tercero, "d");
    }
    // The log escapes backslashes.
    EXPECT_EQ(l[0].cuarto, "D:\\\\IDE\\\\x1\\\\Acuses\\\\*201306*.xml");
    EXPECT_EQ(l[1].cuarto, "D:\\\\IDE\\\\x1\\\\Acuses\\\\*201305*.xml");
}

TEST_F(Acuses, JanuaryStepsBackToDecemberOfTheYearBefore) {
    Salida s = corre({"h", "x1", deposito}, kEnero2014);
    EXPECT_EQ(s.estado, 0);
    EXPECT_NE(s.texto.find("mes: 01/2014\n"), std::string::npos);
    EXPECT_NE(s.texto.find("mes: 12/2013\n"), std::string::npos);
    auto l = llamadas();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_TRUE(l[0].cuarto.ends_with("*201401*.xml"));
    EXPECT_TRUE(l[1].cuarto.ends_with("*201312*.xml"));
}

TEST_F(Acuses, MonthFollowsTheLocalTimeZone) {
    // 03:00 UTC on 1 February is still 31 January in Mexico City.
    std::string madrugada = std::to_string(epoca_utc(2014, 2, 1, 3, 0));
    corre({"h", "x1", deposito}, madrugada, "America/Mexico_City");
    corre({"h", "x1", deposito}, madrugada, "UTC");
    auto l = llamadas();
    ASSERT_EQ(l.size(), 4u);
    EXPECT_TRUE(l[0].cuarto.ends_with("*201401*.xml"));
    EXPECT_TRUE(l[2].cuarto.ends_with("*201402*.xml"));
}

TEST_F(Acuses, FetchesEveryListedNameIntoTheDepositFolder) {
    guion_("lista -55\nlista 0 a_201305.xml|b_201305.xml\n");
    Salida s = corre_normal();
    EXPECT_EQ(s.estado, 0);
    EXPECT_EQ(s.texto, " ===> No se encontraron Acuses del mes: 06/2013\n"
                       " Se Depositaron 2 Acuses en " +
                           deposito + "\n");
    auto l = llamadas("RecibeArchivo");
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].tercero, "D:\\\\IDE\\\\x1\\\\Acuses\\\\a_201305.xml");
    EXPECT_EQ(l[0].cuarto, deposito + "/a_201305.xml");
    EXPECT_EQ(l[1].cuarto, deposito + "/b_201305.xml");
    EXPECT_EQ(lee_archivo(deposito + "/b_201305.xml"), "D:\\IDE\\x1\\Acuses\\b_201305.xml\n");
}

TEST_F(Acuses, WalksTheNameListAsWritten) {
    struct Caso {
        const char *lista;
        std::vector<std::string> nombres;
    } casos[] = {
        {"a.xml|b.xml", {"a.xml", "b.xml"}},
        {"a.xml\\nb.xml\\n", {"a.xml", "b.xml"}},
        {"", {}},
        {"A.XML", {}},                    // the search is case-sensitive
        {"A.XML|b.xml", {"A.XML|b.xml"}}, // so a capital extension does not end a name
        {"a.xml\\x00b.xml", {"a.xml"}},   // a terminator for separator ends the walk
        {"x.xmlyz", {"x.xml"}},           // text after the last "xml" is not a name
        {"axml.xml", {"axml", "xml"}},    // a name ends at its first "xml"
    };
    for (const auto &caso : casos) {
        SCOPED_TRACE(caso.lista);
        std::filesystem::remove(registro);
        guion_(std::string("lista 0 ") + caso.lista + "\n");
        Salida s = corre_normal();
        EXPECT_EQ(s.estado, 0);
        EXPECT_EQ(traidos(), caso.nombres);
        EXPECT_EQ(s.texto, " ===> No se encontraron Acuses del mes: 05/2013\n"
                           " Se Depositaron " +
                               std::to_string(caso.nombres.size()) + " Acuses en " + deposito +
                               "\n");
    }
}

TEST_F(Acuses, TrimsOneTrailingSlashFromTheDepositFolder) {
    extra.push_back("SOCKVOR_SOLO_REGISTRO=1");
    struct Caso {
        std::string dado, recortado;
    } casos[] = {{"/srv/acuses/", "/srv/acuses"}, {"/data//", "/data/"}, {"/", ""}, {"", ""}};
    for (const auto &caso : casos) {
        SCOPED_TRACE(caso.dado);
        std::filesystem::remove(registro);
        guion_("lista 0 a.xml\n");
        Salida s = corre({"h", "x1", caso.dado});
        EXPECT_EQ(s.estado, 0);
        auto l = llamadas("RecibeArchivo");
        ASSERT_EQ(l.size(), 1u);
        EXPECT_EQ(l[0].cuarto, caso.recortado + "/a.xml");
        EXPECT_TRUE(s.texto.ends_with(" Se Depositaron 1 Acuses en " + caso.recortado + "\n"));
    }
}

TEST_F(Acuses, FailedFetchEndsTheRunAndKeepsWhatWasFetched) {
    guion_("lista 0 a.xml|b.xml|c.xml\ntrae 0\ntrae -12 sin espacio en disco\n");
    Salida s = corre_normal();
    EXPECT_EQ(s.estado, 4);
    EXPECT_EQ(s.texto, " ERROR Al Traer el Acuses: sin espacio en disco\n");
    EXPECT_EQ(traidos(), (std::vector<std::string>{"a.xml", "b.xml"}));
    EXPECT_EQ(llamadas("ListaFolders").size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(deposito + "/a.xml"));
}

TEST_F(Acuses, FailedListingInEitherPassEndsWithStatus3) {
    struct Caso {
        const char *guion, *salida;
        std::size_t traidos;
    } casos[] = {
        {"lista -3 host 10.0.0.7: no responde\n",
         " ERROR Al Buscar Acuses: host 10.0.0.7: no responde\n", 0},
        {"lista 0 a.xml\nlista -8 carpeta inexistente\n",
         " ERROR Al Buscar Acuses: carpeta inexistente\n", 1},
    };
    for (const auto &caso : casos) {
        std::filesystem::remove(registro);
        guion_(caso.guion);
        Salida s = corre_normal();
        EXPECT_EQ(s.estado, 3);
        EXPECT_EQ(s.texto, caso.salida);
        EXPECT_EQ(traidos().size(), caso.traidos);
    }
    EXPECT_TRUE(std::filesystem::exists(deposito + "/a.xml"));
}

// Composed texts are never cut: the library receives them whole, however long.
TEST_F(Acuses, LongLoginAndDepositFolderReachTheLibraryWhole) {
    extra.push_back("SOCKVOR_SOLO_REGISTRO=1");
    std::string login(200, 'l');
    // Not "/" + std::string(300, 'c'): GCC 12 warns falsely (-Wrestrict) on that insert.
    std::string carpeta = std::string("/").append(300, 'c');
    std::string nombre = std::string(150, 'n') + ".xml";
    guion_("lista 0 " + nombre + "\n");
    Salida s = corre({"h", login, carpeta});
    EXPECT_EQ(s.estado, 0);
    auto l = llamadas();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].cuarto, "D:\\\\IDE\\\\" + login + "\\\\Acuses\\\\*201306*.xml");
    EXPECT_EQ(l[1].tercero, "D:\\\\IDE\\\\" + login + "\\\\Acuses\\\\" + nombre);
    EXPECT_EQ(l[1].cuarto, carpeta + "/" + nombre);
}

// A library that forgets the terminator cannot make the command read past its
// buffers, nor mix in what an earlier call left there.
TEST_F(Acuses, UnterminatedLibraryAnswersStayInsideTheBuffers) {
    guion_("lista 0 aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.xml|b.xml\nlista-crudo 0 c.xml\n");
    EXPECT_EQ(corre_normal().estado, 0);
    EXPECT_EQ(traidos(), (std::vector<std::string>{"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.xml",
                                                   "b.xml", "c.xml"}));

    std::filesystem::remove(registro);
    guion_("lista-lleno 0 a.xml|\nlista-lleno -7 x\n");
    Salida s = corre_normal();
    EXPECT_EQ(s.estado, 3);
    EXPECT_EQ(traidos(), std::vector<std::string>{"a.xml"});
    EXPECT_EQ(s.texto, " ERROR Al Buscar Acuses: x" + std::string(510, 'A') + "\n");

    guion_("lista 0 a.xml\ntrae-lleno -12 y\n");
    s = corre_normal();
    EXPECT_EQ(s.estado, 4);
    EXPECT_EQ(s.texto, " ERROR Al Traer el Acuses: y" + std::string(510, 'A') + "\n");
}

TEST_F(Acuses, RefusesNamesThatCouldLeaveTheDepositFolder) {
    // The script takes C escapes: its \x01 puts that byte in the list, which the line
    // shows escaped again.
    struct Caso {
        const char *en_guion, *en_linea;
    } casos[] = {{"../x.xml", "../x.xml"},
                 {"a/b.xml", "a/b.xml"},
                 {"a\\\\b.xml", "a\\b.xml"},
                 {"/etc/x.xml", "/etc/x.xml"},
                 {"a/\\x01b.xml", "a/\\x01b.xml"}};
    for (const auto &caso : casos) {
        SCOPED_TRACE(caso.en_guion);
        std::filesystem::remove(registro);
        guion_(std::string("lista 0 ok.xml|") + caso.en_guion + "|z.xml\n");
        Salida s = corre_normal();
        EXPECT_EQ(s.estado, 4);
        EXPECT_EQ(traidos(), std::vector<std::string>{"ok.xml"});
        EXPECT_EQ(s.texto, std::string(" ERROR Al Traer el Acuses: se rechaza el nombre \"") +
                               caso.en_linea +
                               "\": podría escribir fuera de la carpeta de depósito\n");
    }
}

} // namespace
