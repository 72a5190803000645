// Each date conversion beside the same conversion done with std::chrono, on the
// same inputs; after the usual table it prints one line per pair with the CPU time
// of ours divided by chrono's (below 1 means ours is faster).
#include "fechas.h"

#include <benchmark/benchmark.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
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

// Days spread over the whole range the inverse accepts, in a fixed pseudo-random order.
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

void nuestro_arrdias(benchmark::State &estado) {
    const auto &m = muestras();
    std::size_t i = 0;
    for (auto _ : estado) {
        std::int32_t fecha[3] = {m.fechas[i][0], m.fechas[i][1], m.fechas[i][2]};
        benchmark::DoNotOptimize(fecharrdias(fecha));
        i = (i + 1) % kMuestras;
    }
}

void chrono_arrdias(benchmark::State &estado) {
    const auto &m = muestras();
    std::size_t i = 0;
    for (auto _ : estado) {
        const year_month_day ymd{year{m.fechas[i][2]}, month{unsigned(m.fechas[i][1])},
                                 day{unsigned(m.fechas[i][0])}};
        std::int64_t n = ymd.ok() ? (sys_days{ymd} - kDiaCero).count() : -1;
        benchmark::DoNotOptimize(n);
        i = (i + 1) % kMuestras;
    }
}

void nuestro_diasarr(benchmark::State &estado) {
    const auto &m = muestras();
    std::size_t i = 0;
    for (auto _ : estado) {
        std::int32_t fecha[3];
        benchmark::DoNotOptimize(fechdiasarr(m.dias[i], fecha));
        benchmark::DoNotOptimize(fecha);
        i = (i + 1) % kMuestras;
    }
}

void chrono_diasarr(benchmark::State &estado) {
    const auto &m = muestras();
    std::size_t i = 0;
    for (auto _ : estado) {
        std::int32_t fecha[3] = {};
        if (m.dias[i] >= 1 && m.dias[i] <= 73050) {
            const year_month_day ymd{kDiaCero + days{m.dias[i]}};
            fecha[0] = static_cast<std::int32_t>(unsigned{ymd.day()});
            fecha[1] = static_cast<std::int32_t>(unsigned{ymd.month()});
            fecha[2] = int{ymd.year()};
        }
        benchmark::DoNotOptimize(fecha);
        i = (i + 1) % kMuestras;
    }
}

void nuestro_strarr(benchmark::State &estado) {
    const auto &m = muestras();
    std::size_t i = 0;
    for (auto _ : estado) {
        std::int32_t fecha[3];
        benchmark::DoNotOptimize(fechstrarr(m.textos[i], fecha));
        benchmark::DoNotOptimize(fecha);
        i = (i + 1) % kMuestras;
    }
}

// The same "dd/mm/yyyy" read with sscanf, then checked by chrono.
void chrono_strarr_sscanf(benchmark::State &estado) {
    const auto &m = muestras();
    std::size_t i = 0;
    for (auto _ : estado) {
        int d = 0, mes = 0, a = 0;
        char s1 = 0, s2 = 0;
        bool ok = std::sscanf(m.textos[i], " %2d%c%2d%c%d", &d, &s1, &mes, &s2, &a) == 5 &&
                  year_month_day{year{a}, month{unsigned(mes)}, day{unsigned(d)}}.ok();
        benchmark::DoNotOptimize(ok);
        i = (i + 1) % kMuestras;
    }
}

// The same text read with from_chars, then checked by chrono.
void chrono_strarr_from_chars(benchmark::State &estado) {
    const auto &m = muestras();
    std::size_t i = 0;
    for (auto _ : estado) {
        const char *p = m.textos[i];
        const char *fin = p + std::char_traits<char>::length(p);
        int d = 0, mes = 0, a = 0;
        auto r = std::from_chars(p, fin, d);
        bool ok = r.ec == std::errc{} && r.ptr < fin;
        if (ok) {
            r = std::from_chars(r.ptr + 1, fin, mes);
            ok = r.ec == std::errc{} && r.ptr < fin;
        }
        if (ok) {
            r = std::from_chars(r.ptr + 1, fin, a);
            ok = r.ec == std::errc{} &&
                 year_month_day{year{a}, month{unsigned(mes)}, day{unsigned(d)}}.ok();
        }
        benchmark::DoNotOptimize(ok);
        i = (i + 1) % kMuestras;
    }
}

void nuestro_diasstr(benchmark::State &estado) {
    const auto &m = muestras();
    std::size_t i = 0;
    for (auto _ : estado) {
        benchmark::DoNotOptimize(fechdiasstr(m.dias[i]));
        i = (i + 1) % kMuestras;
    }
}

void chrono_diasstr(benchmark::State &estado) {
    const auto &m = muestras();
    std::size_t i = 0;
    static char texto[32];
    for (auto _ : estado) {
        const year_month_day ymd{kDiaCero + days{m.dias[i]}};
        std::snprintf(texto, sizeof texto, "%02u%02u%4d", unsigned{ymd.day()},
                      unsigned{ymd.month()}, int{ymd.year()});
        benchmark::DoNotOptimize(texto);
        i = (i + 1) % kMuestras;
    }
}

// Keeps each run's CPU time per iteration so the pairs can be compared at the end.
class Recolector : public benchmark::ConsoleReporter {
  public:
    // Plain text: the figures are meant to be copied, and escapes would come along.
    Recolector() : ConsoleReporter(OO_None) {}
    std::map<std::string, double> tiempos;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const auto &r : runs)
            if (r.run_type == Run::RT_Iteration)
                tiempos[r.benchmark_name()] = r.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char **argv) {
    const struct {
        const char *nuestro;
        void (*fn_nuestro)(benchmark::State &);
        const char *otro;
        void (*fn_otro)(benchmark::State &);
    } pares[] = {
        {"fecharrdias", nuestro_arrdias, "chrono_sys_days", chrono_arrdias},
        {"fechdiasarr", nuestro_diasarr, "chrono_year_month_day", chrono_diasarr},
        {"fechstrarr", nuestro_strarr, "sscanf_chrono_ok", chrono_strarr_sscanf},
        {"fechstrarr", nuestro_strarr, "from_chars_chrono_ok", chrono_strarr_from_chars},
        {"fechdiasstr", nuestro_diasstr, "chrono_snprintf", chrono_diasstr},
    };
    std::map<std::string, bool> registrado;
    for (const auto &p : pares) {
        if (!registrado[p.nuestro]) {
            benchmark::RegisterBenchmark(p.nuestro, p.fn_nuestro);
            registrado[p.nuestro] = true;
        }
        benchmark::RegisterBenchmark(p.otro, p.fn_otro);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Recolector recolector;
    benchmark::RunSpecifiedBenchmarks(&recolector);
    benchmark::Shutdown();

    std::printf("\nratio (ours / std::chrono), below 1 is faster:\n");
    for (const auto &p : pares) {
        const auto a = recolector.tiempos.find(p.nuestro);
        const auto b = recolector.tiempos.find(p.otro);
        if (a != recolector.tiempos.end() && b != recolector.tiempos.end() && b->second > 0)
            std::printf("  %-12s / %-22s %6.2f\n", p.nuestro, p.otro, a->second / b->second);
    }
    return 0;
}
