#include "fechas.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

TEST(Fechstrarr, AcceptedForms) {
    const struct {
        const char *texto;
        std::int32_t dia, mes, anio;
    } casos[] = {
        {"15/06/2013", 15, 6, 2013},  {"15-6-13", 15, 6, 2013},   {"15.06.13", 15, 6, 2013},
        {"150613", 15, 6, 2013},      {"15062013", 15, 6, 2013},  {"1/2/3", 1, 2, 2003},
        {"1 2 2013", 1, 2, 2013},     {"  5;3;14", 5, 3, 2014},   {"5,3,2014", 5, 3, 2014},
        {"05:03:2014", 5, 3, 2014},   {"1/2x2013", 1, 2, 2013}, // any non-digit character separates
        {"1/2 2013", 1, 2, 2013},     {"29/2/2000", 29, 2, 2000}, {"31/12/9999", 31, 12, 9999},
        {"31/12/-101", 31, 12, 1899}, // a negative year passes the window
    };
    for (const auto &c : casos) {
        std::int32_t fecha[3] = {};
        ASSERT_EQ(fechstrarr(c.texto, fecha), 0) << c.texto;
        EXPECT_EQ(fecha[0], c.dia) << c.texto;
        EXPECT_EQ(fecha[1], c.mes) << c.texto;
        EXPECT_EQ(fecha[2], c.anio) << c.texto;
    }
}

TEST(Fechstrarr, RefusedTexts) {
    const char *casos[] = {
        "",
        "abc",
        "15/06/1850", // year window
        "31/04/2013",
        "29/02/1900",
        "1/13/2013",
        "15.06",       // a separator asks for five fields; three are there
        "15 /06/2013", // the blank is the separator, then the month meets the slash
        "150613.",     // four fields of five
        "1x2y2013",    // no separator character: the month field meets the x
        // A digit in a separator field: the number was cut, not separated.
        "2013-06-15",
        "1-123-2013",
        "123/4/2013",
        // Day below 1, year past 9999.
        "0/1/2013",
        "-1/1/2013",
        "00012013",
        "1/1/10000",
        "0101123456",
    };
    for (const char *texto : casos) {
        std::int32_t fecha[3] = {};
        EXPECT_EQ(fechstrarr(texto, fecha), -1) << texto;
    }
}

TEST(Fechstrarr, RefusalKeepsFieldsAndNormalisedYear) {
    std::int32_t fecha[3] = {};
    EXPECT_EQ(fechstrarr("1/13/9", fecha), -1);
    EXPECT_EQ(fecha[0], 1);
    EXPECT_EQ(fecha[1], 13);
    EXPECT_EQ(fecha[2], 2009);
}

// The parser normalises a two-digit year once and the day-number check does it
// again, so a year far enough below zero comes back twice shifted. Found by fuzzing.
TEST(Fechstrdias, NegativeYearNormalisedTwice) {
    std::int32_t fecha[3] = {};
    ASSERT_EQ(fechstrarr("1/1/-1901", fecha), 0);
    EXPECT_EQ(fecha[2], 99);
    EXPECT_EQ(fechstrdias("1/1/-1901"), 36160); // 1 January 1999
    EXPECT_EQ(fechstrdias("31/12/-2101"), 0);   // 31 December 1899: not negative, not refused
    // ...yet once its array is counted it holds 1899, which has no date text.
    ASSERT_EQ(fechstrarr("31/12/-2101", fecha), 0);
    EXPECT_EQ(fecharrdias(fecha), 0);
    EXPECT_EQ(fecha[2], 1899);
    char escrito[9] = "X";
    EXPECT_STREQ(fecharrstr(fecha, escrito), "");

    char texto[9] = "";
    std::int64_t dias = 1;
    EXPECT_EQ(difdias("31/12/-2101", texto, &dias), 0);
    EXPECT_STREQ(texto, "01011900");
}

TEST(Fecharrstr, FormatsOrEmpties) {
    const struct {
        std::int32_t dia, mes, anio;
        const char *esperado;
        std::int32_t anio_despues;
    } casos[] = {
        {5, 3, 14, "05032014", 2014},   {31, 12, 9999, "31129999", 9999},
        {1, 1, 1900, "01011900", 1900}, {31, 4, 2013, "", 2013},
        {1, 1, 10000, "", 10000},       {1, 1, -101, "", 1899}, // before day 1
        {0, 1, 2013, "", 2013},
    };
    for (const auto &c : casos) {
        std::int32_t fecha[3] = {c.dia, c.mes, c.anio};
        char texto[9];
        std::memset(texto, 'X', sizeof texto);
        EXPECT_EQ(fecharrstr(fecha, texto), texto);
        EXPECT_STREQ(texto, c.esperado) << c.dia << '/' << c.mes << '/' << c.anio;
        EXPECT_EQ(fecha[2], c.anio_despues);
    }
}

TEST(Fechstrdias, TextToDayNumber) {
    const struct {
        const char *texto;
        std::int64_t esperado;
    } casos[] = {
        {"01011900", 1},     {"01012000", 36525},   {"15/06/2013", 41439},
        {"01012100", 73050}, {"01/03/2101", 73474}, {"01032400", 182682},
        {"1/1/-101", -1}, // 1899 meets the window again
        {"xx", -1},          {"2013-06-15", -1},
    };
    for (const auto &c : casos)
        EXPECT_EQ(fechstrdias(c.texto), c.esperado) << c.texto;
}

TEST(Fechdiasstr, OwnBufferRewrittenEachCall) {
    const struct {
        std::int64_t dias;
        const char *esperado;
    } casos[] = {{36525, "01012000"}, {1, "01011900"}, {73050, "01012100"}, {0, ""},
                 {73051, ""},         {-1, ""}};
    for (const auto &c : casos)
        EXPECT_STREQ(fechdiasstr(c.dias), c.esperado) << c.dias;

    char *primero = fechdiasstr(1);
    char *segundo = fechdiasstr(36525);
    EXPECT_EQ(primero, segundo);
    EXPECT_STREQ(primero, "01012000");
}

TEST(Difdias, DifferenceMode) {
    const struct {
        const char *desde, *hasta;
        std::int32_t resultado;
        std::int64_t dias;
    } casos[] = {
        {"01012013", "01022013", 0, 31},    {"01022013", "01012013", 0, -31},
        {"01011900", "01032101", 0, 73473}, {"01012013", "01012013", 0, 0},
        {"01012013", "yy", -1, 1234},       {"xx", "01012013", -1, 1234},
    };
    for (const auto &c : casos) {
        char hasta[9];
        std::strcpy(hasta, c.hasta);
        std::int64_t dias = 1234;
        EXPECT_EQ(difdias(c.desde, hasta, &dias), c.resultado) << c.desde << ' ' << c.hasta;
        EXPECT_EQ(dias, c.dias) << c.desde << ' ' << c.hasta;
        EXPECT_STREQ(hasta, c.hasta);
    }
}

TEST(Difdias, ShiftMode) {
    const struct {
        const char *desde;
        std::int64_t dias;
        std::int32_t resultado;
        const char *esperado;
    } casos[] = {
        {"01012013", 59, 0, "01032013"}, {"01012013", -1, 0, "31122012"},
        {"01012013", 0, 0, "01012013"},  {"01011900", 73049, 0, "01012100"},
        {"01012100", 1, -1, ""},         {"01011900", -1, -1, ""},
        {"01012013", INT64_MAX, -1, ""}, {"01012013", INT64_MIN, -1, ""},
        {"31/12/9999", -1, -1, ""}, // the start may lie outside the range the inverse covers
    };
    for (const auto &c : casos) {
        char texto[9];
        std::memset(texto, 'X', sizeof texto);
        texto[0] = '\0';
        std::int64_t dias = c.dias;
        EXPECT_EQ(difdias(c.desde, texto, &dias), c.resultado) << c.desde << ' ' << c.dias;
        EXPECT_STREQ(texto, c.esperado) << c.desde << ' ' << c.dias;
        EXPECT_EQ(dias, c.dias);
    }
}

TEST(Difdias, UnreadableFirstTextTouchesNothing) {
    char texto[9];
    std::memset(texto, 'X', sizeof texto);
    texto[0] = '\0';
    std::int64_t dias = 59;
    EXPECT_EQ(difdias("no es fecha", texto, &dias), -1);
    EXPECT_EQ(dias, 59);
    EXPECT_EQ(std::string(texto, sizeof texto), std::string("\0XXXXXXXX", 9));
}

} // namespace
