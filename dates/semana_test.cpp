#include "fechas.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace {

using namespace std::chrono;

TEST(Diasemdias, RemainderOfDayNumber) {
    const struct {
        std::int64_t dias;
        std::int32_t esperado;
    } casos[] = {{1, 1}, {7, 0}, {0, 0}, {-5, -1}, {-1, -1}, {73474, 2}, {INT64_MAX, 0}};
    for (const auto &c : casos)
        EXPECT_EQ(diasemdias(c.dias), c.esperado) << c.dias;
}

TEST(Diasemstr, FromText) {
    // -2101 is normalised twice, to 1899: 31 December is day number 0, which has a
    // weekday; the days before it are refused.
    const struct {
        const char *texto;
        std::int32_t esperado;
    } casos[] = {{"01012000", 6},     {"15062013", 6},    {"05032014", 3},
                 {"01011900", 1},     {"01032101", 2}, // a Tuesday, as the calendar has it
                 {"xx", -1},          {"2013-06-15", -1}, {"31/12/-2101", 0},
                 {"30/12/-2101", -1}, {"29/12/-2101", -1}};
    for (const auto &c : casos)
        EXPECT_EQ(diasemstr(c.texto), c.esperado) << c.texto;
}

TEST(Diasemarr, OwnValidation) {
    const struct {
        std::int32_t dia, mes, anio;
        std::int32_t esperado;
        std::int32_t anio_despues;
    } casos[] = {
        {1, 1, 1900, -1, 1900}, // its window reaches 1900, unlike the text routines'
        {2, 1, 1901, 3, 1901},    {15, 6, 13, 6, 2013},
        {29, 2, 2100, -1, 2100}, // passes its own check, then the day number refuses it
        {29, 2, 2000, 2, 2000},   {30, 2, 2000, -1, 2000},
        {0, 3, 2013, -1, 2013},   {1, 1, 10000, -1, 10000},
        {31, 12, -101, -1, 1899}, // normalised to 1899, which the day number's check refuses
        {1, 3, 2101, 2, 2101},
    };
    for (const auto &c : casos) {
        std::int32_t fecha[3] = {c.dia, c.mes, c.anio};
        EXPECT_EQ(diasemarr(fecha), c.esperado) << c.dia << '/' << c.mes << '/' << c.anio;
        EXPECT_EQ(fecha[2], c.anio_despues) << c.dia << '/' << c.mes << '/' << c.anio;
    }
}

// A year far below zero is normalised once by each check and lands, still valid,
// centuries before 1900: the truncated remainder of a negative day number.
TEST(Diasemarr, NegativeDayNumberGivesNonPositiveRemainder) {
    std::int32_t fecha[3] = {1, 1, -3000};
    const auto dias = (sys_days{year{1000} / January / 1} - sys_days{year{1899} / December / 31});
    EXPECT_EQ(diasemarr(fecha), static_cast<std::int32_t>(dias.count() % 7));
    EXPECT_EQ(fecha[2], 1000);
}

TEST(Weekdays, AgreeWithChrono) {
    for (sys_days d = sys_days{year{1901} / January / 1}; d <= sys_days{year{9999} / December / 31};
         d += days{13}) {
        const year_month_day ymd{d};
        std::int32_t fecha[3] = {static_cast<std::int32_t>(unsigned{ymd.day()}),
                                 static_cast<std::int32_t>(unsigned{ymd.month()}),
                                 static_cast<std::int32_t>(int{ymd.year()})};
        char texto[32];
        std::snprintf(texto, sizeof texto, "%02d%02d%d", fecha[0], fecha[1], fecha[2]);
        const auto esperado = static_cast<std::int32_t>(weekday{d}.c_encoding());
        ASSERT_EQ(diasemstr(texto), esperado) << texto;
        ASSERT_EQ(diasemarr(fecha), esperado) << texto;
    }
}

} // namespace
