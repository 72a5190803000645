#include "ssh/cifrados.h"

#include "errores.h"
#include "sockvor.h"
#include "ssh/configssh.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

namespace sockvor {

namespace {

constexpr std::string_view chacha = "chacha20-poly1305@openssh.com";
constexpr std::string_view gcm128 = "aes128-gcm@openssh.com";
constexpr std::string_view gcm256 = "aes256-gcm@openssh.com";
constexpr std::array<std::string_view, 3> ctr = {"aes256-ctr", "aes192-ctr", "aes128-ctr"};
// Every cipher libssh 0.10 can use, the same names OpenSSH's client knows; the CBC
// ones only when asked for.
constexpr std::array<std::string_view, 10> conocidos = {
    chacha,       gcm256,       gcm128,       "aes256-ctr", "aes192-ctr",
    "aes128-ctr", "aes256-cbc", "aes192-cbc", "aes128-cbc", "3des-cbc"};

using Lista = std::vector<std::string_view>;

Lista por_omision(bool aes) {
    Lista l = aes ? Lista{gcm128, gcm256, chacha} : Lista{chacha, gcm256, gcm128};
    l.insert(l.end(), ctr.begin(), ctr.end());
    return l;
}

bool contiene(const Lista &l, std::string_view nombre) {
    return std::find(l.begin(), l.end(), nombre) != l.end();
}

// The names of a comma-separated list; OpenSSH skips empty ones.
Lista separa(std::string_view texto) {
    Lista partes;
    while (!texto.empty()) {
        auto coma = std::min(texto.find(','), texto.size());
        if (coma > 0) {
            partes.push_back(texto.substr(0, coma));
        }
        texto.remove_prefix(std::min(coma + 1, texto.size()));
    }
    return partes;
}

std::string une(const Lista &l) {
    std::string texto;
    for (auto nombre : l) {
        texto += (texto.empty() ? "" : ",") + std::string(nombre);
    }
    return texto;
}

} // namespace

bool procesador_con_aes() {
    if (const char *forzado = std::getenv("SOCKVOR_AES"); forzado && *forzado) {
        return std::string_view(forzado) != "0";
    }
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul");
}

std::string cifrados_por_omision(bool aes) {
    return une(por_omision(aes));
}

std::string cifrados_configurados(std::string_view valor, bool aes, const std::string &archivo,
                                  const std::string &host) {
    auto rechaza = [&, linea = valor](const std::string &por_que) {
        falla(SOCKVOR_E_CONFIG, "La línea Ciphers " + visible(linea) + " de " + archivo +
                                    " no sirve para el host " + host + ": " + por_que);
    };
    const Lista omision = por_omision(aes);
    char forma = valor.empty() ? ' ' : valor.front();
    if (forma == '+' || forma == '-' || forma == '^') {
        valor.remove_prefix(1);
    }
    Lista nombres = separa(valor);
    Lista lista;
    if (forma == '-') {
        // Patterns, as OpenSSH's: a name no cipher has simply removes nothing.
        for (auto nombre : omision) {
            if (!coincide_patrones(nombres, nombre)) {
                lista.push_back(nombre);
            }
        }
    } else {
        if (nombres.empty()) {
            rechaza("no nombra ningún cifrado");
        }
        for (auto nombre : nombres) {
            if (std::find(conocidos.begin(), conocidos.end(), nombre) == conocidos.end()) {
                rechaza("\"" + visible(nombre) + "\" no es un cifrado conocido");
            }
        }
        if (forma == '+') {
            lista = omision;
        }
        for (auto nombre : nombres) {
            if (!contiene(lista, nombre)) {
                lista.push_back(nombre);
            }
        }
        if (forma == '^') {
            for (auto nombre : omision) {
                if (!contiene(lista, nombre)) {
                    lista.push_back(nombre);
                }
            }
        }
    }
    if (lista.empty()) {
        rechaza("no deja ningún cifrado");
    }
    return une(lista);
}

} // namespace sockvor
