// Each date routine beside the same work done with the standard library
// (std::chrono for the calendar, from_chars or sscanf for reading, snprintf or
// to_chars for writing), on the same inputs. After the usual table it prints one
// line per pair: the CPU time of ours divided by the standard library's (below 1
// means ours is faster), from the medians when --benchmark_repetitions is given.
#include "fechas.h"

#include <benchmark/benchmark.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace std::chrono;

constexpr sys_days kDiaCero = sys_days{year{1899} / December / 31};
constexpr std::size_t kMuestras = 1024;

struct Muestras {
    std::int32_t fechas[kMuestras][3];
    std::int64_t dias[kMuestras];
    char textos[kMuestras][16];
};

// Days spread over the whole range the inverse accepts, in a fixed pseudo-random
// order; the texts are "dd/mm/yyyy".
const Muestras &muestras() {
    static const Muestras m = [] {
        Muestras r{};
        std::uint64_t x = 88172645463325252u;
        for (std::size_t i = 0; i < kMuestras; ++i) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            r.dias[i] = static_cast<std::int64_t>(x % 73050) + 1;
            const year_month_day ymd{kDiaCero + days{r.dias[i]}};
            r.fechas[i][0] = static_cast<std::int32_t>(unsigned{ymd.day()});
            r.fechas[i][1] = static_cast<std::int32_t>(unsigned{ymd.month()});
            r.fechas[i][2] = int{ymd.year()};
            std::snprintf(r.textos[i], sizeof r.textos[i], "%02d/%02d/%d", r.fechas[i][0],
                          r.fechas[i][1], r.fechas[i][2]);
        }
        return r;
    }();
    return m;
}

// At namespace scope, so that the timed lambdas read it without capturing anything.
const Muestras &datos = muestras();

// Runs `una(i)` once per iteration, i going round the samples.
template <typename F> auto corre(F una) {
    return [una](benchmark::State &estado) {
        std::size_t i = 0;
        for (auto _ : estado) {
            una(i);
            i = (i + 1) % kMuestras;
        }
    };
}

year_month_day ymd_de(const std::int32_t f[3]) {
    return year_month_day{year{f[2]}, month{unsigned(f[1])}, day{unsigned(f[0])}};
}

// "dd/mm/yyyy" read with from_chars; false unless it is a real date.
bool lee_from_chars(const char *p, year_month_day &ymd) {
    const char *fin = p + std::strlen(p);
    int d = 0, m = 0, a = 0;
    auto r = std::from_chars(p, fin, d);
    if (r.ec != std::errc{} || r.ptr == fin)
        return false;
    r = std::from_chars(r.ptr + 1, fin, m);
    if (r.ec != std::errc{} || r.ptr == fin)
        return false;
    r = std::from_chars(r.ptr + 1, fin, a);
    ymd = year_month_day{year{a}, month{unsigned(m)}, day{unsigned(d)}};
    return r.ec == std::errc{} && ymd.ok();
}

// "%02u%02u%4d" with to_chars: the year of these samples always has four digits.
void escribe_to_chars(const year_month_day &ymd, char texto[9]) {
    const unsigned d = unsigned{ymd.day()};
    const unsigned m = unsigned{ymd.month()};
    texto[0] = static_cast<char>('0' + d / 10);
    texto[1] = static_cast<char>('0' + d % 10);
    texto[2] = static_cast<char>('0' + m / 10);
    texto[3] = static_cast<char>('0' + m % 10);
    *std::to_chars(texto + 4, texto + 8, int{ymd.year()}).ptr = '\0';
}

struct Par {
    const char *nuestro, *otro;
};

// Ours first, then the standard library's counterparts, each under its name.
void registra(std::vector<Par> &pares) {
    const auto nuestro = [&](const char *nombre, auto fn) {
        benchmark::RegisterBenchmark(nombre, corre(fn));
    };
    const auto otro = [&](const char *de, const char *nombre, auto fn) {
        benchmark::RegisterBenchmark(nombre, corre(fn));
        pares.push_back({de, nombre});
    };

    nuestro("bisiesto",
            [](std::size_t i) { benchmark::DoNotOptimize(bisiesto(datos.fechas[i][2])); });
    otro("bisiesto", "chrono_is_leap",
         [](std::size_t i) { benchmark::DoNotOptimize(year{datos.fechas[i][2]}.is_leap()); });

    nuestro("fecharrdias", [](std::size_t i) {
        std::int32_t f[3] = {datos.fechas[i][0], datos.fechas[i][1], datos.fechas[i][2]};
        benchmark::DoNotOptimize(fecharrdias(f));
    });
    otro("fecharrdias", "chrono_sys_days", [](std::size_t i) {
        const year_month_day ymd = ymd_de(datos.fechas[i]);
        benchmark::DoNotOptimize(ymd.ok() ? (sys_days{ymd} - kDiaCero).count() : -1);
    });

    nuestro("fechdiasarr", [](std::size_t i) {
        std::int32_t f[3];
        benchmark::DoNotOptimize(fechdiasarr(datos.dias[i], f));
        benchmark::DoNotOptimize(f);
    });
    otro("fechdiasarr", "chrono_year_month_day", [](std::size_t i) {
        std::int32_t f[3] = {};
        if (datos.dias[i] >= 1 && datos.dias[i] <= 73050) {
            const year_month_day ymd{kDiaCero + days{datos.dias[i]}};
            f[0] = static_cast<std::int32_t>(unsigned{ymd.day()});
            f[1] = static_cast<std::int32_t>(unsigned{ymd.month()});
            f[2] = int{ymd.year()};
        }
        benchmark::DoNotOptimize(f);
    });

    nuestro("fechstrarr", [](std::size_t i) {
        std::int32_t f[3];
        benchmark::DoNotOptimize(fechstrarr(datos.textos[i], f));
        benchmark::DoNotOptimize(f);
    });
    otro("fechstrarr", "sscanf_chrono_ok", [](std::size_t i) {
        int d = 0, mes = 0, a = 0;
        char s1 = 0, s2 = 0;
        benchmark::DoNotOptimize(
            std::sscanf(datos.textos[i], " %2d%c%2d%c%d", &d, &s1, &mes, &s2, &a) == 5 &&
            year_month_day{year{a}, month{unsigned(mes)}, day{unsigned(d)}}.ok());
    });
    otro("fechstrarr", "from_chars_chrono_ok", [](std::size_t i) {
        year_month_day ymd;
        benchmark::DoNotOptimize(lee_from_chars(datos.textos[i], ymd));
    });

    nuestro("fechstrdias",
            [](std::size_t i) { benchmark::DoNotOptimize(fechstrdias(datos.textos[i])); });
    otro("fechstrdias", "from_chars_chrono_days", [](std::size_t i) {
        year_month_day ymd;
        benchmark::DoNotOptimize(
            lee_from_chars(datos.textos[i], ymd) ? (sys_days{ymd} - kDiaCero).count() : -1);
    });

    nuestro("fecharrstr", [](std::size_t i) {
        std::int32_t f[3] = {datos.fechas[i][0], datos.fechas[i][1], datos.fechas[i][2]};
        char texto[9];
        benchmark::DoNotOptimize(fecharrstr(f, texto));
        benchmark::DoNotOptimize(texto);
    });
    otro("fecharrstr", "chrono_ok_snprintf", [](std::size_t i) {
        const year_month_day ymd = ymd_de(datos.fechas[i]);
        char texto[16];
        if (ymd.ok())
            std::snprintf(texto, sizeof texto, "%02u%02u%4d", unsigned{ymd.day()},
                          unsigned{ymd.month()}, int{ymd.year()});
        benchmark::DoNotOptimize(texto);
    });
    otro("fecharrstr", "chrono_ok_to_chars", [](std::size_t i) {
        const year_month_day ymd = ymd_de(datos.fechas[i]);
        char texto[9];
        if (ymd.ok())
            escribe_to_chars(ymd, texto);
        benchmark::DoNotOptimize(texto);
    });

    nuestro("fechdiasstr",
            [](std::size_t i) { benchmark::DoNotOptimize(fechdiasstr(datos.dias[i])); });
    otro("fechdiasstr", "chrono_snprintf", [](std::size_t i) {
        static char texto[16];
        const year_month_day ymd{kDiaCero + days{datos.dias[i]}};
        std::snprintf(texto, sizeof texto, "%02u%02u%4d", unsigned{ymd.day()},
                      unsigned{ymd.month()}, int{ymd.year()});
        benchmark::DoNotOptimize(texto);
    });
    otro("fechdiasstr", "chrono_to_chars", [](std::size_t i) {
        static char texto[9];
        escribe_to_chars(year_month_day{kDiaCero + days{datos.dias[i]}}, texto);
        benchmark::DoNotOptimize(texto);
    });

    nuestro("difdias", [](std::size_t i) {
        char segundo[16];
        std::memcpy(segundo, datos.textos[(i + 1) % kMuestras], sizeof segundo);
        std::int64_t dias = 0;
        benchmark::DoNotOptimize(difdias(datos.textos[i], segundo, &dias));
        benchmark::DoNotOptimize(dias);
    });
    otro("difdias", "from_chars_chrono_resta", [](std::size_t i) {
        year_month_day desde, hasta;
        std::int64_t dias = 0;
        if (lee_from_chars(datos.textos[i], desde) &&
            lee_from_chars(datos.textos[(i + 1) % kMuestras], hasta))
            dias = (sys_days{hasta} - sys_days{desde}).count();
        benchmark::DoNotOptimize(dias);
    });

    nuestro("diasemstr",
            [](std::size_t i) { benchmark::DoNotOptimize(diasemstr(datos.textos[i])); });
    otro("diasemstr", "from_chars_chrono_weekday", [](std::size_t i) {
        year_month_day ymd;
        benchmark::DoNotOptimize(
            lee_from_chars(datos.textos[i], ymd) ? int(weekday{sys_days{ymd}}.c_encoding()) : -1);
    });

    nuestro("diasemarr", [](std::size_t i) {
        std::int32_t f[3] = {datos.fechas[i][0], datos.fechas[i][1], datos.fechas[i][2]};
        benchmark::DoNotOptimize(diasemarr(f));
    });
    otro("diasemarr", "chrono_weekday", [](std::size_t i) {
        const year_month_day ymd = ymd_de(datos.fechas[i]);
        benchmark::DoNotOptimize(ymd.ok() ? int(weekday{sys_days{ymd}}.c_encoding()) : -1);
    });
}

// Keeps each run's CPU time per iteration (the median, when runs are repeated)
// so the pairs can be compared at the end.
class Recolector : public benchmark::ConsoleReporter {
  public:
    // Plain text: the figures are meant to be copied, and escapes would come along.
    Recolector() : ConsoleReporter(OO_None) {}
    std::map<std::string, double> tiempos;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const auto &r : runs) {
            if (r.run_type == Run::RT_Iteration && r.repetitions <= 1)
                tiempos[r.run_name.str()] = r.GetAdjustedCPUTime();
            else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                tiempos[r.run_name.str()] = r.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char **argv) {
    std::vector<Par> pares;
    registra(pares);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Recolector recolector;
    benchmark::RunSpecifiedBenchmarks(&recolector);
    benchmark::Shutdown();

    std::printf("\nratio (ours / standard library), below 1 is faster:\n");
    for (const auto &p : pares) {
        const auto a = recolector.tiempos.find(p.nuestro);
        const auto b = recolector.tiempos.find(p.otro);
        if (a != recolector.tiempos.end() && b != recolector.tiempos.end() && b->second > 0)
            std::printf("  %-12s / %-26s %6.2f\n", p.nuestro, p.otro, a->second / b->second);
    }
    return 0;
}
