// A file system held in memory that knows, besides what it holds, what a power cut
// would leave of it: a file's data as of its last fsync or fdatasync, its size with
// either, its times, mode and extended attributes as of its last fsync, a folder's
// entries as of its own last fsync. Whatever was only written may reach the disk or
// not, and the cut draws which; as ext4 in writeback mode, a folder's fsync may also
// carry its files' sizes, times and attributes without their data, which then read
// back as zeros. Inode numbers survive the cut: a program's record of one stays true.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace corte {

using Ino = std::uint64_t;
constexpr Ino ino_raiz = 1; // FUSE's own number for the root

struct Metadatos {
    mode_t modo = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    timespec atime{}, mtime{}, ctime{};
};

// A file or folder as one moment saw it.
struct Estado {
    Metadatos meta;
    std::string datos;
    std::uint64_t largo = 0; // the size; past `datos` it reads as zeros
    std::map<std::string, std::string> atributos;
    std::map<std::string, Ino> entradas; // a folder's
};

// One change to a folder's entries, all of it or none reaching the disk: a name set
// to an inode, or removed (nullopt). A rename within a folder is one change.
using Cambio = std::vector<std::pair<std::string, std::optional<Ino>>>;

struct Nodo {
    bool carpeta = false;
    Estado ahora;
    Estado durable;              // what a cut keeps for sure
    std::vector<Cambio> cambios; // a folder's, since its last fsync, in order
};

class Memoria {
  public:
    explicit Memoria(std::uint64_t semilla);

    Nodo *nodo(Ino ino);
    std::optional<Ino> entrada(Ino carpeta, const std::string &nombre);
    struct stat atributos_de(Ino ino);

    // Each returns 0 or an errno.
    int crea(Ino carpeta, const std::string &nombre, bool es_carpeta, const Metadatos &meta,
             Ino &nuevo);
    int quita(Ino carpeta, const std::string &nombre, bool es_carpeta);
    int renombra(Ino desde, const std::string &nombre, Ino hacia, const std::string &nuevo,
                 unsigned banderas);
    int escribe(Ino ino, std::uint64_t desde, const char *datos, std::size_t largo);
    int trunca(Ino ino, std::uint64_t largo);
    int pon_atributo(Ino ino, const std::string &nombre, std::string valor, int banderas);
    int quita_atributo(Ino ino, const std::string &nombre);
    // A file's changed metadata (mode, owner, times): its ctime moves.
    void cambia_meta(Ino ino);

    void sincroniza(Ino ino, bool solo_datos);
    void sincroniza_carpeta(Ino ino);

    // The power goes: what is left is what the disk held, now all of it durable.
    void corta();

  private:
    void anota(Ino carpeta, Cambio cambio);
    bool moneda() { return azar_() & 1; }
    void corta_archivo(Nodo &n);

    std::unordered_map<Ino, Nodo> nodos_;
    Ino siguiente_ = ino_raiz + 1;
    std::mt19937_64 azar_;
};

timespec reloj();

} // namespace corte
