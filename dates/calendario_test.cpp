#include "fechas.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

namespace {

using namespace std::chrono;

constexpr sys_days kDiaCero = sys_days{year{1899} / December / 31};

TEST(Bisiesto, GregorianRule) {
    const struct {
        std::int32_t anio;
        std::int32_t esperado;
    } casos[] = {{1900, 0}, {1996, 1}, {2000, 1}, {2013, 0}, {2100, 0}, {2400, 1}, {2404, 1}};
    for (const auto &c : casos)
        EXPECT_EQ(bisiesto(c.anio), c.esperado) << c.anio;
}

TEST(Fecharrdias, ValidatesNormalisesAndCounts) {
    const struct {
        std::int32_t dia, mes, anio;
        std::int64_t esperado;
        std::int32_t anio_despues;
    } casos[] = {
        {1, 1, 1900, 1, 1900},
        {31, 12, 1899, -1, 1899}, // year window
        {1, 1, 100, -1, 100},
        {1, 1, 0, 36525, 2000},
        {1, 1, 49, 54423, 2049},
        {1, 1, 50, 18263, 1950},
        {29, 2, 1900, -1, 1900},
        {29, 2, 2000, 36584, 2000},
        {31, 4, 2009, -1, 2009},
        {1, 13, 9, -1, 2009}, // normalised before the month is refused
        {1, 0, 2013, -1, 2013},
        {15, 6, 2013, 41439, 2013},
        {1, 1, -1, 36160, 1999},
        {1, 1, -101, -364, 1899}, // passes the window, lands before day 1
        {31, 12, -101, 0, 1899},
        // A day below 1 is refused rather than counted back into the month before.
        {0, 3, 2013, -1, 2013},
        {-5, 3, 2013, -1, 2013},
        // Years past 9999 are refused, so no date text outgrows eight characters.
        {31, 12, 9999, 2958464, 9999},
        {1, 1, 10000, -1, 10000},
        // The century rule holds after 2100 too.
        {28, 2, 2100, 73108, 2100},
        {29, 2, 2100, -1, 2100},
        {1, 3, 2100, 73109, 2100},
        {31, 12, 2100, 73414, 2100},
        {1, 1, 2101, 73415, 2101},
        {1, 3, 2101, 73474, 2101},
        {1, 3, 2400, 182682, 2400},
    };
    for (const auto &c : casos) {
        std::int32_t fecha[3] = {c.dia, c.mes, c.anio};
        EXPECT_EQ(fecharrdias(fecha), c.esperado) << c.dia << '/' << c.mes << '/' << c.anio;
        EXPECT_EQ(fecha[2], c.anio_despues) << c.dia << '/' << c.mes << '/' << c.anio;
        EXPECT_EQ(fecha[0], c.dia);
        EXPECT_EQ(fecha[1], c.mes);
    }
}

// Every day the forward conversion accepts, against an independent calendar; the
// days just past each month's end, and day 0, must be refused.
TEST(Fecharrdias, AgreesWithChronoFrom1900To9999) {
    for (sys_days d = sys_days{year{1900} / January / 1}; d <= sys_days{year{9999} / December / 31};
         d += days{1}) {
        const year_month_day ymd{d};
        std::int32_t fecha[3] = {static_cast<std::int32_t>(unsigned{ymd.day()}),
                                 static_cast<std::int32_t>(unsigned{ymd.month()}),
                                 static_cast<std::int32_t>(int{ymd.year()})};
        ASSERT_EQ(fecharrdias(fecha), (d - kDiaCero).count())
            << fecha[0] << '/' << fecha[1] << '/' << fecha[2];
        if (ymd.day() == year_month_day_last{ymd.year(), month_day_last{ymd.month()}}.day()) {
            std::int32_t siguiente[3] = {fecha[0] + 1, fecha[1], fecha[2]};
            ASSERT_EQ(fecharrdias(siguiente), -1)
                << siguiente[0] << '/' << fecha[1] << '/' << fecha[2];
            std::int32_t cero[3] = {0, fecha[1], fecha[2]};
            ASSERT_EQ(fecharrdias(cero), -1);
        }
    }
}

TEST(Fechdiasarr, Boundaries) {
    const struct {
        std::int64_t dias;
        std::int32_t dia, mes, anio;
    } casos[] = {
        {1, 1, 1, 1900},      {364, 30, 12, 1900},  {365, 31, 12, 1900},   {366, 1, 1, 1901},
        {1460, 31, 12, 1903}, {1461, 1, 1, 1904},   {1520, 29, 2, 1904},   {1825, 30, 12, 1904},
        {1826, 31, 12, 1904}, {36584, 29, 2, 2000}, {73049, 31, 12, 2099}, {73050, 1, 1, 2100},
    };
    for (const auto &c : casos) {
        std::int32_t fecha[3] = {};
        ASSERT_EQ(fechdiasarr(c.dias, fecha), 0) << c.dias;
        EXPECT_EQ(fecha[0], c.dia) << c.dias;
        EXPECT_EQ(fecha[1], c.mes) << c.dias;
        EXPECT_EQ(fecha[2], c.anio) << c.dias;
    }
}

TEST(Fechdiasarr, RefusesOutsideRangeWithoutWriting) {
    for (const std::int64_t dias : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{73051},
                                    std::int64_t{73474}, INT64_MIN, INT64_MAX}) {
        std::int32_t fecha[3] = {7, 8, 9};
        EXPECT_EQ(fechdiasarr(dias, fecha), -1) << dias;
        EXPECT_EQ(fecha[0], 7);
        EXPECT_EQ(fecha[1], 8);
        EXPECT_EQ(fecha[2], 9);
    }
}

// The whole inverse range, against the forward conversion and against chrono.
TEST(Fechdiasarr, RoundTripsWholeRange) {
    for (std::int64_t n = 1; n <= 73050; ++n) {
        std::int32_t fecha[3] = {};
        ASSERT_EQ(fechdiasarr(n, fecha), 0) << n;
        const year_month_day ymd{kDiaCero + days{n}};
        ASSERT_EQ(fecha[0], static_cast<std::int32_t>(unsigned{ymd.day()})) << n;
        ASSERT_EQ(fecha[1], static_cast<std::int32_t>(unsigned{ymd.month()})) << n;
        ASSERT_EQ(fecha[2], int{ymd.year()}) << n;
        ASSERT_EQ(fecharrdias(fecha), n);
    }
}

} // namespace
