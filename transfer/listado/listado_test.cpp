// What one read of a folder keeps for the next listing, and for which.
#include "listado/reserva.h"

#include <gtest/gtest.h>

using namespace sockvor;
using namespace sockvor::listado;

namespace {

TEST(Listado, MesAnterior) {
    const std::pair<const char *, std::optional<std::string>> casos[] = {
        {"*201305*.xml", "*201304*.xml"}, {"*201301*.xml", "*201212*.xml"},
        {"*201312*.xml", "*201311*.xml"}, {"*201300*.xml", std::nullopt},
        {"*201313*.xml", std::nullopt},   {"*2013*.xml", std::nullopt},
        {"a*201305*.xml", std::nullopt},  {"*201305*.XML", std::nullopt},
        {"* 99905*.xml", std::nullopt},   {"*100001*.xml", std::nullopt},
    };
    for (const auto &[patron, anterior] : casos) {
        EXPECT_EQ(mes_anterior(patron), anterior) << patron;
    }
}

sftp::Entrada archivo(std::string nombre) {
    return {std::move(nombre), "", {4, 0100644, 1}};
}

// Served once, to the listing of the same folder and pattern soon after; the
// names each once, as the host gave them.
TEST(Listado, ReservaSirveSoloLoQueGuardoParaElSiguiente) {
    const std::string carpeta = "/D:/IDE/x1/Acuses";
    const auto t0 = Reserva::Reloj::time_point{} + std::chrono::hours(1);
    const struct {
        const char *caso;
        std::string carpeta, patron;
        Reserva::Reloj::duration despues;
        bool sirve;
    } casos[] = {
        {"el siguiente", carpeta, "*201304*.xml", std::chrono::seconds(5), true},
        {"otra carpeta", "/D:/IDE/x1/Otra", "*201304*.xml", std::chrono::seconds(5), false},
        {"otro patrón", carpeta, "*201305*.xml", std::chrono::seconds(5), false},
        {"tarde", carpeta, "*201304*.xml", Reserva::vigencia + std::chrono::seconds(1), false},
    };
    for (const auto &c : casos) {
        Reserva r;
        Hallazgos h("*201304*.xml");
        for (const char *n : {"b_201304.xml", "a_201304.xml", "b_201304.xml", "c_201305.xml"}) {
            h.anota(archivo(n));
        }
        r.guarda(carpeta, std::move(h), t0);
        auto servido = r.toma(c.carpeta, c.patron, t0 + c.despues);
        ASSERT_EQ(servido.has_value(), c.sirve) << c.caso;
        if (servido) {
            auto lista = std::move(*servido).entrega({carpeta, c.patron}, "h");
            ASSERT_EQ(lista.size(), 2u);
            EXPECT_EQ(lista[0].nombre, "a_201304.xml");
            EXPECT_EQ(lista[1].nombre, "b_201304.xml");
        }
        EXPECT_FALSE(r.toma(carpeta, "*201304*.xml", t0 + c.despues)) << c.caso << ": otra vez";
    }
}

} // namespace
