#include "memoria.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <linux/fs.h>
#include <sys/xattr.h>

namespace corte {

namespace {

constexpr std::size_t pagina = 4096;

} // namespace

timespec reloj() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

Memoria::Memoria(std::uint64_t semilla) : azar_(semilla) {
    Nodo raiz;
    raiz.carpeta = true;
    raiz.ahora.meta.modo = S_IFDIR | 0755;
    raiz.ahora.meta.atime = raiz.ahora.meta.mtime = raiz.ahora.meta.ctime = reloj();
    raiz.durable = raiz.ahora;
    nodos_.emplace(ino_raiz, std::move(raiz));
}

Nodo *Memoria::nodo(Ino ino) {
    auto it = nodos_.find(ino);
    return it == nodos_.end() ? nullptr : &it->second;
}

std::optional<Ino> Memoria::entrada(Ino carpeta, const std::string &nombre) {
    Nodo *c = nodo(carpeta);
    if (!c || !c->carpeta) {
        return std::nullopt;
    }
    auto it = c->ahora.entradas.find(nombre);
    return it == c->ahora.entradas.end() ? std::nullopt : std::optional(it->second);
}

struct stat Memoria::atributos_de(Ino ino) {
    struct stat s {};
    const Nodo &n = *nodo(ino);
    s.st_ino = ino;
    s.st_mode = n.ahora.meta.modo;
    s.st_nlink = n.carpeta ? 2 : 1;
    s.st_uid = n.ahora.meta.uid;
    s.st_gid = n.ahora.meta.gid;
    s.st_size = static_cast<off_t>(n.carpeta ? pagina : n.ahora.largo);
    s.st_blksize = pagina;
    s.st_blocks = (s.st_size + 511) / 512;
    s.st_atim = n.ahora.meta.atime;
    s.st_mtim = n.ahora.meta.mtime;
    s.st_ctim = n.ahora.meta.ctime;
    return s;
}

void Memoria::anota(Ino carpeta, Cambio cambio) {
    Nodo &c = *nodo(carpeta);
    c.ahora.meta.mtime = c.ahora.meta.ctime = reloj();
    c.cambios.push_back(std::move(cambio));
}

int Memoria::crea(Ino carpeta, const std::string &nombre, bool es_carpeta, const Metadatos &meta,
                  Ino &nuevo) {
    Nodo *c = nodo(carpeta);
    if (!c || !c->carpeta) {
        return ENOTDIR;
    }
    if (c->ahora.entradas.count(nombre)) {
        return EEXIST;
    }
    Nodo n;
    n.carpeta = es_carpeta;
    n.ahora.meta = meta;
    n.ahora.meta.atime = n.ahora.meta.mtime = n.ahora.meta.ctime = reloj();
    // The inode as allocated: whether anything names it is its folder's business.
    n.durable = n.ahora;
    nuevo = siguiente_++;
    nodos_.emplace(nuevo, std::move(n));
    c->ahora.entradas[nombre] = nuevo;
    anota(carpeta, {{nombre, nuevo}});
    return 0;
}

int Memoria::quita(Ino carpeta, const std::string &nombre, bool es_carpeta) {
    auto ino = entrada(carpeta, nombre);
    if (!ino) {
        return ENOENT;
    }
    Nodo &n = *nodo(*ino);
    if (n.carpeta != es_carpeta) {
        return es_carpeta ? ENOTDIR : EISDIR;
    }
    if (n.carpeta && !n.ahora.entradas.empty()) {
        return ENOTEMPTY;
    }
    n.ahora.meta.ctime = reloj();
    nodo(carpeta)->ahora.entradas.erase(nombre);
    anota(carpeta, {{nombre, std::nullopt}});
    return 0;
}

int Memoria::renombra(Ino desde, const std::string &nombre, Ino hacia, const std::string &nuevo,
                      unsigned banderas) {
    if (banderas & ~RENAME_NOREPLACE) {
        return EINVAL;
    }
    auto ino = entrada(desde, nombre);
    if (!ino) {
        return ENOENT;
    }
    Nodo *destino = nodo(hacia);
    if (!destino || !destino->carpeta) {
        return ENOTDIR;
    }
    if (auto previo = entrada(hacia, nuevo)) {
        if (banderas & RENAME_NOREPLACE) {
            return EEXIST;
        }
        const Nodo &p = *nodo(*previo);
        if (p.carpeta != nodo(*ino)->carpeta) {
            return p.carpeta ? EISDIR : ENOTDIR;
        }
        if (p.carpeta && !p.ahora.entradas.empty()) {
            return ENOTEMPTY;
        }
        if (*previo == *ino) {
            return 0;
        }
    }
    nodo(*ino)->ahora.meta.ctime = reloj();
    nodo(desde)->ahora.entradas.erase(nombre);
    destino->ahora.entradas[nuevo] = *ino;
    if (desde == hacia) {
        anota(desde, {{nombre, std::nullopt}, {nuevo, *ino}});
    } else {
        anota(desde, {{nombre, std::nullopt}});
        anota(hacia, {{nuevo, *ino}});
    }
    return 0;
}

int Memoria::escribe(Ino ino, std::uint64_t desde, const char *datos, std::size_t largo) {
    Estado &e = nodo(ino)->ahora;
    if (e.datos.size() < desde + largo) {
        e.datos.resize(desde + largo, '\0');
    }
    std::copy(datos, datos + largo, e.datos.begin() + static_cast<std::ptrdiff_t>(desde));
    e.largo = e.datos.size();
    e.meta.mtime = e.meta.ctime = reloj();
    return 0;
}

int Memoria::trunca(Ino ino, std::uint64_t largo) {
    Estado &e = nodo(ino)->ahora;
    e.datos.resize(largo, '\0');
    e.largo = largo;
    e.meta.mtime = e.meta.ctime = reloj();
    return 0;
}

int Memoria::pon_atributo(Ino ino, const std::string &nombre, std::string valor, int banderas) {
    Estado &e = nodo(ino)->ahora;
    bool hay = e.atributos.count(nombre) > 0;
    if ((banderas & XATTR_CREATE) && hay) {
        return EEXIST;
    }
    if ((banderas & XATTR_REPLACE) && !hay) {
        return ENODATA;
    }
    e.atributos[nombre] = std::move(valor);
    e.meta.ctime = reloj();
    return 0;
}

int Memoria::quita_atributo(Ino ino, const std::string &nombre) {
    Estado &e = nodo(ino)->ahora;
    if (e.atributos.erase(nombre) == 0) {
        return ENODATA;
    }
    e.meta.ctime = reloj();
    return 0;
}

void Memoria::cambia_meta(Ino ino) {
    nodo(ino)->ahora.meta.ctime = reloj();
}

void Memoria::sincroniza(Ino ino, bool solo_datos) {
    Nodo &n = *nodo(ino);
    if (n.carpeta) {
        sincroniza_carpeta(ino);
        return;
    }
    n.durable.datos = n.ahora.datos;
    n.durable.largo = n.ahora.largo;
    if (!solo_datos) {
        n.durable.meta = n.ahora.meta;
        n.durable.atributos = n.ahora.atributos;
    }
}

void Memoria::sincroniza_carpeta(Ino ino) {
    Nodo &c = *nodo(ino);
    c.durable.entradas = c.ahora.entradas;
    c.durable.meta = c.ahora.meta;
    c.cambios.clear();
    // Writeback mode: the commit that holds the folder may hold its files' inodes too,
    // sizes and attributes without the data they describe.
    for (const auto &[nombre, hijo] : c.ahora.entradas) {
        Nodo &h = *nodo(hijo);
        if (!h.carpeta && moneda()) {
            h.durable.largo = h.ahora.largo;
            h.durable.meta = h.ahora.meta;
            h.durable.atributos = h.ahora.atributos;
        }
    }
}

void Memoria::corta_archivo(Nodo &n) {
    const std::string &viejos = n.durable.datos;
    const std::string &nuevos = n.ahora.datos;
    std::string datos;
    switch (azar_() % 3) {
    case 0:
        datos = viejos;
        break;
    case 1:
        datos = nuevos;
        break;
    default: // some pages written back, others not
        datos.assign(std::max(viejos.size(), nuevos.size()), '\0');
        for (std::size_t p = 0; p < datos.size(); p += pagina) {
            const std::string &de = moneda() ? viejos : nuevos;
            if (p < de.size()) {
                de.copy(datos.data() + p, std::min(pagina, de.size() - p), p);
            }
        }
    }
    datos.resize(moneda() ? n.durable.largo : n.ahora.largo, '\0');
    std::map<std::string, std::string> atributos;
    for (const auto *de : {&n.durable.atributos, &n.ahora.atributos}) {
        for (const auto &[nombre, valor] : *de) {
            atributos.emplace(nombre, std::string());
        }
    }
    for (auto it = atributos.begin(); it != atributos.end();) {
        const auto &de = moneda() ? n.durable.atributos : n.ahora.atributos;
        auto hallado = de.find(it->first);
        if (hallado == de.end()) {
            it = atributos.erase(it);
        } else {
            (it++)->second = hallado->second;
        }
    }
    if (moneda()) {
        n.ahora.meta = n.durable.meta;
    }
    n.ahora.datos = std::move(datos);
    n.ahora.largo = n.ahora.datos.size();
    n.ahora.atributos = std::move(atributos);
}

void Memoria::corta() {
    // Each folder's entries: the durable ones, then each later change or not, in order.
    std::unordered_map<Ino, std::map<std::string, Ino>> entradas;
    for (auto &[ino, n] : nodos_) {
        if (n.carpeta) {
            auto e = n.durable.entradas;
            for (const auto &cambio : n.cambios) {
                if (moneda()) {
                    for (const auto &[nombre, hacia] : cambio) {
                        if (hacia) {
                            e[nombre] = *hacia;
                        } else {
                            e.erase(nombre);
                        }
                    }
                }
            }
            entradas.emplace(ino, std::move(e));
        }
    }
    // What the root still reaches is all that is left.
    std::unordered_map<Ino, Nodo> quedan;
    std::vector<Ino> pendientes{ino_raiz};
    while (!pendientes.empty()) {
        Ino ino = pendientes.back();
        pendientes.pop_back();
        auto it = nodos_.find(ino);
        if (it == nodos_.end()) {
            continue; // a file under two names, its folders' changes half kept
        }
        Nodo n = std::move(it->second);
        nodos_.erase(it);
        if (n.carpeta) {
            n.ahora.entradas = std::move(entradas[ino]);
            for (const auto &[nombre, hijo] : n.ahora.entradas) {
                pendientes.push_back(hijo);
            }
        } else {
            corta_archivo(n);
        }
        n.durable = n.ahora;
        n.cambios.clear();
        quedan.emplace(ino, std::move(n));
    }
    nodos_ = std::move(quedan);
}

} // namespace corte
