#include "sistema.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <sys/statvfs.h>
#include <vector>

namespace corte {

namespace {

Memoria &de(fuse_req_t req) {
    return *static_cast<Memoria *>(fuse_req_userdata(req));
}

// No timeouts: the kernel asks again each time, and nothing it kept can outlive a cut.
void responde_entrada(fuse_req_t req, Ino ino) {
    fuse_entry_param e{};
    e.ino = ino;
    e.attr = de(req).atributos_de(ino);
    fuse_reply_entry(req, &e);
}

void responde(fuse_req_t req, int error) {
    fuse_reply_err(req, error);
}

Metadatos de_quien_pide(fuse_req_t req, mode_t modo) {
    const fuse_ctx *quien = fuse_req_ctx(req);
    Metadatos m;
    m.modo = modo;
    m.uid = quien->uid;
    m.gid = quien->gid;
    return m;
}

// A value or list of `largo` bytes: its size when asked for none, ERANGE when too big.
void responde_valor(fuse_req_t req, const std::string &valor, std::size_t largo) {
    if (largo == 0) {
        fuse_reply_xattr(req, valor.size());
    } else if (largo < valor.size()) {
        responde(req, ERANGE);
    } else {
        fuse_reply_buf(req, valor.data(), valor.size());
    }
}

void busca(fuse_req_t req, fuse_ino_t carpeta, const char *nombre) {
    if (auto ino = de(req).entrada(carpeta, nombre)) {
        responde_entrada(req, *ino);
    } else {
        responde(req, ENOENT);
    }
}

void olvida(fuse_req_t req, fuse_ino_t, uint64_t) {
    fuse_reply_none(req); // nodes live until a cut, which the kernel never sees
}

void lee_atributos(fuse_req_t req, fuse_ino_t ino, fuse_file_info *) {
    if (!de(req).nodo(ino)) {
        responde(req, ENOENT);
        return;
    }
    auto s = de(req).atributos_de(ino);
    fuse_reply_attr(req, &s, 0);
}

// Through a name or a descriptor (futimens, ftruncate) alike.
void cambia_atributos(fuse_req_t req, fuse_ino_t ino, struct stat *a, int cuales,
                      fuse_file_info *) {
    Memoria &m = de(req);
    Metadatos &meta = m.nodo(ino)->ahora.meta;
    if (cuales & FUSE_SET_ATTR_SIZE) {
        m.trunca(ino, static_cast<std::uint64_t>(a->st_size));
    }
    if (cuales & FUSE_SET_ATTR_MODE) {
        meta.modo = (meta.modo & S_IFMT) | (a->st_mode & 07777);
    }
    if (cuales & FUSE_SET_ATTR_UID) {
        meta.uid = a->st_uid;
    }
    if (cuales & FUSE_SET_ATTR_GID) {
        meta.gid = a->st_gid;
    }
    if (cuales & FUSE_SET_ATTR_ATIME) {
        meta.atime = cuales & FUSE_SET_ATTR_ATIME_NOW ? reloj() : a->st_atim;
    }
    if (cuales & FUSE_SET_ATTR_MTIME) {
        meta.mtime = cuales & FUSE_SET_ATTR_MTIME_NOW ? reloj() : a->st_mtim;
    }
    m.cambia_meta(ino);
    if (cuales & FUSE_SET_ATTR_CTIME) {
        meta.ctime = a->st_ctim;
    }
    lee_atributos(req, ino, nullptr);
}

void crea_carpeta(fuse_req_t req, fuse_ino_t carpeta, const char *nombre, mode_t modo) {
    Ino nuevo = 0;
    int error =
        de(req).crea(carpeta, nombre, true, de_quien_pide(req, S_IFDIR | (modo & 07777)), nuevo);
    if (error != 0) {
        responde(req, error);
    } else {
        responde_entrada(req, nuevo);
    }
}

void quita_archivo(fuse_req_t req, fuse_ino_t carpeta, const char *nombre) {
    responde(req, de(req).quita(carpeta, nombre, false));
}

void quita_carpeta(fuse_req_t req, fuse_ino_t carpeta, const char *nombre) {
    responde(req, de(req).quita(carpeta, nombre, true));
}

void renombra(fuse_req_t req, fuse_ino_t desde, const char *nombre, fuse_ino_t hacia,
              const char *nuevo, unsigned int banderas) {
    responde(req, de(req).renombra(desde, nombre, hacia, nuevo, banderas));
}

// Reads go through the page cache only while the file is open.
void abre(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi) {
    Nodo *n = de(req).nodo(ino);
    if (!n || n->carpeta) {
        responde(req, n ? EISDIR : ENOENT);
        return;
    }
    fi->keep_cache = 0;
    fuse_reply_open(req, fi);
}

void crea(fuse_req_t req, fuse_ino_t carpeta, const char *nombre, mode_t modo, fuse_file_info *fi) {
    Memoria &m = de(req);
    Ino ino = 0;
    if (auto hay = m.entrada(carpeta, nombre)) {
        if (fi->flags & O_EXCL) {
            responde(req, EEXIST);
            return;
        }
        ino = *hay;
        if (fi->flags & O_TRUNC) {
            m.trunca(ino, 0);
        }
    } else if (int error = m.crea(carpeta, nombre, false,
                                  de_quien_pide(req, S_IFREG | (modo & 07777)), ino);
               error != 0) {
        responde(req, error);
        return;
    }
    fuse_entry_param e{};
    e.ino = ino;
    e.attr = m.atributos_de(ino);
    fi->keep_cache = 0;
    fuse_reply_create(req, &e, fi);
}

void lee(fuse_req_t req, fuse_ino_t ino, size_t largo, off_t desde, fuse_file_info *) {
    const std::string &datos = de(req).nodo(ino)->ahora.datos;
    auto inicio = std::min(static_cast<std::size_t>(desde), datos.size());
    fuse_reply_buf(req, datos.data() + inicio, std::min(largo, datos.size() - inicio));
}

void escribe(fuse_req_t req, fuse_ino_t ino, const char *datos, size_t largo, off_t desde,
             fuse_file_info *) {
    de(req).escribe(ino, static_cast<std::uint64_t>(desde), datos, largo);
    fuse_reply_write(req, largo);
}

void sincroniza(fuse_req_t req, fuse_ino_t ino, int solo_datos, fuse_file_info *) {
    de(req).sincroniza(ino, solo_datos != 0);
    responde(req, 0);
}

void sincroniza_carpeta(fuse_req_t req, fuse_ino_t ino, int, fuse_file_info *) {
    de(req).sincroniza_carpeta(ino);
    responde(req, 0);
}

// A listing is the folder as it was when opened, whatever changes while it is read. Kept
// here, not by the kernel: an unmount (a cut) drops the releases still on their way.
using Listado = std::vector<std::pair<std::string, struct stat>>;
std::map<std::uint64_t, Listado> listados;
std::uint64_t siguiente_listado = 0;

void abre_carpeta(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi) {
    Memoria &m = de(req);
    Nodo *n = m.nodo(ino);
    if (!n || !n->carpeta) {
        responde(req, n ? ENOTDIR : ENOENT);
        return;
    }
    fi->fh = siguiente_listado++;
    Listado &listado = listados[fi->fh];
    listado = {{".", m.atributos_de(ino)}, {"..", m.atributos_de(ino)}};
    for (const auto &[nombre, hijo] : n->ahora.entradas) {
        listado.emplace_back(nombre, m.atributos_de(hijo));
    }
    fuse_reply_open(req, fi);
}

void lee_carpeta(fuse_req_t req, fuse_ino_t, size_t largo, off_t desde, fuse_file_info *fi) {
    const Listado &listado = listados[fi->fh];
    std::vector<char> bloque(largo);
    std::size_t usado = 0;
    for (auto i = static_cast<std::size_t>(desde); i < listado.size(); ++i) {
        std::size_t n =
            fuse_add_direntry(req, bloque.data() + usado, largo - usado, listado[i].first.c_str(),
                              &listado[i].second, static_cast<off_t>(i + 1));
        if (n > largo - usado) {
            break;
        }
        usado += n;
    }
    fuse_reply_buf(req, bloque.data(), usado);
}

void cierra_carpeta(fuse_req_t req, fuse_ino_t, fuse_file_info *fi) {
    listados.erase(fi->fh);
    responde(req, 0);
}

void espacio(fuse_req_t req, fuse_ino_t) {
    struct statvfs s {};
    s.f_bsize = s.f_frsize = 4096;
    s.f_blocks = 1u << 20;
    s.f_bfree = s.f_bavail = 1u << 19;
    s.f_files = 1u << 20;
    s.f_ffree = s.f_favail = 1u << 19;
    s.f_namemax = 255;
    fuse_reply_statfs(req, &s);
}

void pon_atributo(fuse_req_t req, fuse_ino_t ino, const char *nombre, const char *valor,
                  size_t largo, int banderas) {
    responde(req, de(req).pon_atributo(ino, nombre, std::string(valor, largo), banderas));
}

void lee_atributo(fuse_req_t req, fuse_ino_t ino, const char *nombre, size_t largo) {
    const auto &atributos = de(req).nodo(ino)->ahora.atributos;
    auto it = atributos.find(nombre);
    if (it == atributos.end()) {
        responde(req, ENODATA);
    } else {
        responde_valor(req, it->second, largo);
    }
}

void lista_atributos(fuse_req_t req, fuse_ino_t ino, size_t largo) {
    std::string lista;
    for (const auto &[nombre, valor] : de(req).nodo(ino)->ahora.atributos) {
        lista += nombre;
        lista.push_back('\0');
    }
    responde_valor(req, lista, largo);
}

void quita_atributo(fuse_req_t req, fuse_ino_t ino, const char *nombre) {
    responde(req, de(req).quita_atributo(ino, nombre));
}

} // namespace

// No flock: without it the kernel keeps flock() locks itself, as on a local file system.
const fuse_lowlevel_ops &operaciones() {
    static const fuse_lowlevel_ops ops = [] {
        fuse_lowlevel_ops o{};
        o.lookup = busca;
        o.forget = olvida;
        o.getattr = lee_atributos;
        o.setattr = cambia_atributos;
        o.mkdir = crea_carpeta;
        o.unlink = quita_archivo;
        o.rmdir = quita_carpeta;
        o.rename = renombra;
        o.open = abre;
        o.create = crea;
        o.read = lee;
        o.write = escribe;
        o.fsync = sincroniza;
        o.opendir = abre_carpeta;
        o.readdir = lee_carpeta;
        o.releasedir = cierra_carpeta;
        o.fsyncdir = sincroniza_carpeta;
        o.statfs = espacio;
        o.setxattr = pon_atributo;
        o.getxattr = lee_atributo;
        o.listxattr = lista_atributos;
        o.removexattr = quita_atributo;
        return o;
    }();
    return ops;
}

} // namespace corte
