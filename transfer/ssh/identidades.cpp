#include "ssh/identidades.h"

#include "ssh/configssh.h"

#include <algorithm>
#include <pwd.h>
#include <unistd.h>

namespace sockvor {

namespace {

std::string usuario_local() {
    passwd entrada{};
    passwd *resultado = nullptr;
    std::vector<char> espacio(16384);
    if (getpwuid_r(getuid(), &entrada, espacio.data(), espacio.size(), &resultado) == 0 &&
        resultado && resultado->pw_name) {
        return resultado->pw_name;
    }
    return {};
}

std::string nombre_local() {
    char nombre[256] = {};
    gethostname(nombre, sizeof nombre - 1);
    return nombre;
}

} // namespace

std::string expande(std::string_view ruta, const Expansion &e) {
    std::string salida;
    if (ruta == "~" || ruta.starts_with("~/")) {
        salida = e.home;
        ruta.remove_prefix(1);
    }
    for (std::size_t i = 0; i < ruta.size(); ++i) {
        if (ruta[i] != '%' || i + 1 == ruta.size()) {
            salida += ruta[i];
            continue;
        }
        switch (ruta[++i]) {
        case 'd':
            salida += e.dir_ssh;
            break;
        case 'h':
            salida += e.host;
            break;
        case 'l':
            salida += nombre_local();
            break;
        case 'p':
            salida += std::to_string(e.puerto);
            break;
        case 'r':
            salida += e.login;
            break;
        case 'u':
            salida += usuario_local();
            break;
        case '%':
            salida += '%';
            break;
        default: // libssh refuses the whole connection; here the path just names no file
            salida += ruta.substr(i - 1, 2);
        }
    }
    return salida;
}

Identidades identidades(const std::vector<std::string> &configuraciones, std::string_view host_dado,
                        const Expansion &e, const char *del_entorno) {
    Identidades ids;
    std::vector<std::string> agentes;
    for (const auto &c : configuraciones) {
        for (const auto &a : valores_de_archivo(c, host_dado, "IdentityFile")) {
            ids.archivos.push_back(expande(a, e));
        }
        auto v = valores_de_archivo(c, host_dado, "IdentityAgent");
        agentes.insert(agentes.end(), v.begin(), v.end());
    }
    for (const char *omision : {"%d/id_ed25519", "%d/id_ecdsa", "%d/id_rsa"}) {
        ids.archivos.push_back(expande(omision, e));
    }
    std::vector<std::string> unicos;
    for (auto &a : ids.archivos) {
        if (std::find(unicos.begin(), unicos.end(), a) == unicos.end()) {
            unicos.push_back(std::move(a));
        }
    }
    ids.archivos = std::move(unicos);
    if (agentes.empty() || agentes.front() == "SSH_AUTH_SOCK") {
        ids.agente = del_entorno ? del_entorno : "";
    } else if (agentes.front() != "none") {
        ids.agente = expande(agentes.front(), e);
    }
    return ids;
}

} // namespace sockvor
