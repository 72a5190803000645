#include "ssh/configssh.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <strings.h>
#include <vector>

namespace sockvor {

namespace {

std::vector<std::string_view> palabras(std::string_view linea) {
    std::vector<std::string_view> salida;
    std::size_t i = 0;
    while (i < linea.size()) {
        while (i < linea.size() && (linea[i] == ' ' || linea[i] == '\t' || linea[i] == '=')) {
            ++i;
        }
        if (i >= linea.size()) {
            break;
        }
        std::size_t inicio = i;
        if (linea[i] == '"') {
            auto cierre = linea.find('"', i + 1);
            if (cierre == std::string_view::npos) {
                cierre = linea.size();
            }
            salida.push_back(linea.substr(i + 1, cierre - i - 1));
            i = cierre + 1;
            continue;
        }
        while (i < linea.size() && linea[i] != ' ' && linea[i] != '\t' &&
               (linea[i] != '=' || !salida.empty())) {
            ++i;
        }
        salida.push_back(linea.substr(inicio, i - inicio));
    }
    return salida;
}

bool igual_sin_caso(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// OpenSSH host patterns: '*' and '?', compared without regard to case.
bool patron_host(std::string_view patron, std::string_view host) {
    if (patron.empty()) {
        return host.empty();
    }
    if (patron.front() == '*') {
        for (std::size_t i = 0; i <= host.size(); ++i) {
            if (patron_host(patron.substr(1), host.substr(i))) {
                return true;
            }
        }
        return false;
    }
    if (host.empty()) {
        return false;
    }
    auto baja = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (patron.front() != '?' && baja(patron.front()) != baja(host.front())) {
        return false;
    }
    return patron_host(patron.substr(1), host.substr(1));
}

// The seconds of the first ConnectTimeout found. OpenSSH stops at a bad value
// too; the caller falls back to its default.
std::optional<int> primer_plazo(const std::vector<std::string> &valores) {
    int segundos = 0;
    if (valores.empty()) {
        return std::nullopt;
    }
    const auto &v = valores.front();
    auto [resto, ec] = std::from_chars(v.data(), v.data() + v.size(), segundos);
    if (ec == std::errc{} && resto == v.data() + v.size() && segundos > 0) {
        return segundos;
    }
    return std::nullopt;
}

} // namespace

std::vector<std::string> valores(std::string_view configuracion, std::string_view host,
                                 std::string_view palabra) {
    std::vector<std::string> salida;
    bool aplica = true; // lines before the first Host apply to every host
    std::size_t inicio = 0;
    while (inicio < configuracion.size()) {
        auto fin = configuracion.find('\n', inicio);
        if (fin == std::string_view::npos) {
            fin = configuracion.size();
        }
        auto linea = configuracion.substr(inicio, fin - inicio);
        inicio = fin + 1;
        if (!linea.empty() && linea.back() == '\r') {
            linea.remove_suffix(1);
        }
        auto p = palabras(linea);
        if (p.empty() || p.front().front() == '#') {
            continue;
        }
        if (igual_sin_caso(p.front(), "Host")) {
            aplica = coincide_patrones({p.begin() + 1, p.end()}, host);
        } else if (igual_sin_caso(p.front(), "Match")) {
            aplica = false;
        } else if (aplica && igual_sin_caso(p.front(), palabra) && p.size() >= 2) {
            salida.emplace_back(p[1]);
        }
    }
    return salida;
}

std::optional<int> connect_timeout(std::string_view configuracion, std::string_view host) {
    return primer_plazo(valores(configuracion, host, "ConnectTimeout"));
}

bool coincide_patrones(const std::vector<std::string_view> &patrones, std::string_view host) {
    bool alguno = false;
    for (auto p : patrones) {
        if (!p.empty() && p.front() == '!') {
            if (patron_host(p.substr(1), host)) {
                return false;
            }
        } else if (patron_host(p, host)) {
            alguno = true;
        }
    }
    return alguno;
}

std::vector<std::string> valores_de_archivo(const std::string &ruta, std::string_view host,
                                            std::string_view palabra) {
    std::ifstream archivo(ruta);
    if (!archivo) {
        return {};
    }
    std::ostringstream texto;
    texto << archivo.rdbuf();
    return valores(texto.str(), host, palabra);
}

std::optional<int> connect_timeout_de_archivo(const std::string &ruta, std::string_view host) {
    return primer_plazo(valores_de_archivo(ruta, host, "ConnectTimeout"));
}

std::optional<ValorConfigurado> primer_valor_configurado(const std::string &config_usuario,
                                                         const std::string &config_sistema,
                                                         std::string_view host,
                                                         std::string_view palabra) {
    for (const auto &ruta : {config_usuario, config_sistema}) {
        if (auto v = valores_de_archivo(ruta, host, palabra); !v.empty()) {
            return ValorConfigurado{v.front(), ruta};
        }
    }
    return std::nullopt;
}

std::chrono::seconds plazo_de_conexion(const std::string &config_usuario,
                                       const std::string &config_sistema, std::string_view host) {
    constexpr int por_omision = 30;
    auto segundos = connect_timeout_de_archivo(config_usuario, host);
    if (!segundos) {
        segundos = connect_timeout_de_archivo(config_sistema, host);
    }
    return std::chrono::seconds(segundos.value_or(por_omision));
}

} // namespace sockvor
