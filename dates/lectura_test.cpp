// The date-text reader against the sscanf formulation it replaced: the texts where
// scanf's rules are easy to get wrong. The differential fuzzer covers the rest.
#include "fechas.h"
#include "oraculo/oraculo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

TEST(Fechstrarr, ReadsAsSscanfDid) {
    const char *casos[] = {
        // A sign takes one of a field's two characters.
        "+1/+2/+2013", "-1/2/2013", "1/-2/13", "+/1/2013", "1/+/2013", "12/+12/2013", "1/2/+",
        "1/2/-", "+1+2+2013", "-0/1/2013",
        // Blanks: any of the six before a number; the separator takes one as it is.
        "\t\n\v\f\r 1/2/2013", "1/ 2/ 2013", "1 / 2/2013", "1/2/\t2013", " 1  2\t2013", "1/2 ",
        "1/2/ ", "   ",
        "\xa0"
        "1/2/2013",
        // Overlong years: strtol saturates at 64 bits, then the int keeps the low 32.
        "1/1/4294967296", "1/1/4294967345", "1/1/2147483648", "1/1/99999999999999999999",
        "1/1/-99999999999999999999", "1/1/-2147483649", "1/1/0000000000000002013",
        // Fields cut short, text ending early, separators anywhere.
        "1", "1/", "1/2", "1/2/", "12", "123", "1234", "12345", "0102", "010213x", "x/1/2",
        "1/2/2013/", "1/2/3-", "-",
        "1\xff"
        "2\xff"
        "2013/",
        "15/06/2013\n",
        // Zero bytes end the text; bytes above 127 are neither digits nor blanks.
        "1\x80"
        "2\x80"
        "2013",
        "12\x80"
        "13"};
    for (const char *texto : casos) {
        std::int32_t esperado[3] = {-7, -8, -9};
        std::int32_t fecha[3] = {-7, -8, -9};
        std::memset(marca_rutina, 'z', sizeof marca_rutina);
        const std::int32_t r_esperado = oraculo::fechstrarr(texto, esperado);
        char marca_esperada[sizeof marca_rutina];
        std::memcpy(marca_esperada, marca_rutina, sizeof marca_rutina);
        std::memset(marca_rutina, 'z', sizeof marca_rutina);
        EXPECT_EQ(fechstrarr(texto, fecha), r_esperado) << texto;
        EXPECT_EQ(fecha[0], esperado[0]) << texto;
        EXPECT_EQ(fecha[1], esperado[1]) << texto;
        EXPECT_EQ(fecha[2], esperado[2]) << texto;
        EXPECT_EQ(std::memcmp(marca_rutina, marca_esperada, sizeof marca_rutina), 0) << texto;
    }
}

// What the saturation and the 32-bit cut make of a few years, spelled out.
TEST(Fechstrarr, OverlongYearsWrapLikeScanf) {
    const struct {
        const char *texto;
        std::int64_t dias;
    } casos[] = {
        {"1/1/4294967296", 36525},            // 2^32 keeps 0: the year 2000
        {"1/1/-99999999999999999999", 36525}, // saturated to LONG_MIN, whose low half is 0
        {"1/1/99999999999999999999", 36160},  // LONG_MAX keeps -1: 1999
        {"1/1/4294967345", 54423},            // keeps 49: the year 2049
    };
    for (const auto &c : casos)
        EXPECT_EQ(fechstrdias(c.texto), c.dias) << c.texto;
}

} // namespace
