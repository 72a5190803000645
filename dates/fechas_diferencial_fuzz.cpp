// libFuzzer target that holds the date family to its first formulation (oraculo/):
// each routine and the reference are called from the same state with the same
// arguments, and must leave the same result, array, text and marker buffer.
// The input is up to four lines: two date texts, a date array as three integers
// ("d m y"), and a day number, also used as the shift mode's count.
#include "fechas.h"
#include "fuzz_lineas.h"
#include "oraculo/oraculo.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

namespace {

struct Marca {
    char bytes[sizeof marca_rutina];
};

// The buffer is filled first, so that bytes a shorter marker leaves behind are compared too.
void prepara() {
    std::memset(marca_rutina, 0x5a, sizeof marca_rutina);
}

Marca toma() {
    Marca m;
    std::memcpy(m.bytes, marca_rutina, sizeof m.bytes);
    return m;
}

void igual(bool cierto) {
    if (!cierto)
        std::abort();
}

void misma_marca(const Marca &antes) {
    igual(std::memcmp(antes.bytes, marca_rutina, sizeof antes.bytes) == 0);
}

struct Arreglo {
    std::int32_t v[3];
    bool operator==(const Arreglo &o) const { return std::memcmp(v, o.v, sizeof v) == 0; }
};

struct Texto {
    char v[16];
    bool operator==(const Texto &o) const { return std::memcmp(v, o.v, sizeof v) == 0; }
};

// Calls `ref` and `nuestra` on copies of the same arguments and compares what they return.
template <typename Ref, typename Nuestra> void compara(Ref ref, Nuestra nuestra) {
    prepara();
    const auto esperado = ref();
    const Marca marca = toma();
    prepara();
    igual(nuestra() == esperado);
    misma_marca(marca);
}

// compara for a routine that takes the date array: each side works on its own copy
// of `inicial`, and the array it leaves is compared along with its result.
template <typename Ref, typename Nuestra>
void compara_arreglo(const Arreglo &inicial, Ref ref, Nuestra nuestra) {
    const auto llama = [&inicial](auto rutina) {
        Arreglo a = inicial;
        const auto r = rutina(a.v);
        return std::make_pair(r, a);
    };
    compara([&] { return llama(ref); }, [&] { return llama(nuestra); });
}

Arreglo arreglo(const std::string &texto) {
    Arreglo a{};
    const char *p = texto.c_str();
    for (auto &campo : a.v) {
        char *fin = nullptr;
        campo = static_cast<std::int32_t>(std::strtoll(p, &fin, 10));
        p = fin;
    }
    return a;
}

void textos(const std::string &texto, const Arreglo &inicial) {
    const char *t = texto.c_str();
    compara_arreglo(
        inicial, [t](std::int32_t *a) { return oraculo::fechstrarr(t, a); },
        [t](std::int32_t *a) { return fechstrarr(t, a); });
    compara([&] { return oraculo::fechstrdias(t); }, [&] { return fechstrdias(t); });
    compara([&] { return oraculo::diasemstr(t); }, [&] { return diasemstr(t); });
}

void arreglos(const Arreglo &inicial) {
    compara([&] { return oraculo::bisiesto(inicial.v[2]); },
            [&] { return bisiesto(inicial.v[2]); });
    compara_arreglo(inicial, oraculo::fecharrdias, fecharrdias);
    // The text buffer goes on past nine bytes, so that a write beyond them shows.
    const auto escribe = [](auto fecharrstr_) {
        return [fecharrstr_](std::int32_t *a) {
            Texto t;
            std::memset(t.v, 'X', sizeof t.v);
            const bool mismo = fecharrstr_(a, t.v) == t.v;
            return std::make_pair(mismo, t);
        };
    };
    compara_arreglo(inicial, escribe(oraculo::fecharrstr), escribe(fecharrstr));
    compara_arreglo(inicial, oraculo::diasemarr, diasemarr);
}

void numeros(std::int64_t dias, const Arreglo &inicial) {
    compara_arreglo(
        inicial, [dias](std::int32_t *a) { return oraculo::fechdiasarr(dias, a); },
        [dias](std::int32_t *a) { return fechdiasarr(dias, a); });
    // Each routine has a buffer of its own; both have seen the same calls, so all nine bytes match.
    const auto nueve = [](const char *texto) {
        Texto t{};
        std::memcpy(t.v, texto, 9);
        return t;
    };
    compara([&] { return nueve(oraculo::fechdiasstr(dias)); },
            [&] { return nueve(fechdiasstr(dias)); });
    compara([&] { return oraculo::diasemdias(dias); }, [&] { return diasemdias(dias); });
}

void diferencias(const std::string &uno, const std::string &otro, std::int64_t cuenta) {
    // Difference mode when the second text is not empty, shift mode when it is. The
    // buffer goes on past the text, so that a write beyond its nine bytes shows.
    for (const std::string &segundo : {otro, std::string()}) {
        const auto llama = [&](auto difdias_) {
            std::string buffer = segundo + '\0' + std::string(16, 'X');
            std::int64_t n = cuenta;
            const std::int32_t r = difdias_(uno.c_str(), buffer.data(), &n);
            return std::make_tuple(r, n, buffer);
        };
        compara([&] { return llama(oraculo::difdias); }, [&] { return llama(difdias); });
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *datos, std::size_t largo) {
    const auto [uno, otro, campos, numero] = lineas<4>(datos, largo);
    const Arreglo inicial = arreglo(campos);
    const std::int64_t dias = std::strtoll(numero.c_str(), nullptr, 10);

    textos(uno, inicial);
    textos(otro, inicial);
    arreglos(inicial);
    numeros(dias, inicial);
    diferencias(uno, otro, dias);
    return 0;
}
