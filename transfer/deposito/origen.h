// Where a deposited file came from, kept with it in the user extended attribute
// "user.sockvor.origen", so a later run can leave alone a file that neither the
// host nor anyone here changed since: which remote file it is and the size and
// mtime it was copied from (one digest of the host, login, path, size and
// mtime), and the inode and mtime the local copy had when it was finished. A
// local write changes the mtime, a replacement the inode; a file system without
// user attributes keeps no record, and its files are fetched every time. The
// record is short enough for ext4 to keep it inside the inode of a 256-byte
// inode, beside the data, instead of in a block of its own per file; and it is
// always the same size, which no other attribute the process could set has
// (permitidas.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace sockvor {

// What a host says of a remote file; either may be left out.
struct Medida {
    std::optional<std::uint64_t> tamano;
    std::optional<std::uint32_t> mtime;
    bool completa() const { return tamano && mtime; }
    bool operator==(const Medida &) const = default;
};

// A remote file as a deposit records it: `clave` from clave_de(), and the
// size and mtime the host gave for the copy.
struct Procedencia {
    std::string clave;
    Medida medida;
};

// 32 hexadecimal digits naming the file `ruta` of `login` on `ip`.
std::string clave_de(std::string_view ip, std::string_view login, std::string_view ruta);

struct Origen {
    std::string remota; // 16 hexadecimal digits: the remote file at that size and mtime
    std::uint64_t inodo = 0;
    std::int64_t mtime_local_s = 0;
    std::uint32_t mtime_local_ns = 0;
    bool operator==(const Origen &) const = default;
};

constexpr const char *atributo_origen = "user.sockvor.origen";
// Every record written is this long: not 4 + 8n, the size of a POSIX ACL.
constexpr std::size_t largo_origen = 54;
static_assert((largo_origen - 4) % 8 != 0);

// What `p` names, as a record's digest.
std::string remota_de(const Procedencia &p);
// Empty when the record cannot hold `o` (a local mtime before 1970, or after 4147).
std::string escribe_origen(const Origen &o);
// Strict: exactly the form escribe_origen() makes, or the one of earlier versions (of
// varying length, in decimal), or nothing.
std::optional<Origen> lee_origen(std::string_view texto);

// Records, on the finished temporary file behind `fd`, that it holds that
// remote file. Best effort: without the record the file is only fetched again
// next time.
void registra_origen(int fd, const Procedencia &p);

// A file as lstat finds it, down to its ctime: whatever changes the file, its
// owner, its mode or its record moves the ctime, so a file found with the same
// one is as it was when it was judged.
struct Vista {
    std::uint64_t dispositivo = 0;
    std::uint64_t inodo = 0;
    std::int64_t ctime_s = 0;
    std::int64_t ctime_ns = 0;
    bool operator==(const Vista &) const = default;
};

// Whether `local` is a regular file this library deposited from that remote
// file at that size and mtime, untouched since: if so, the file as it was
// judged. Only a file of the running user that no one else may write is
// believed: anyone who can write a file can also rewrite its record. A file
// its group may write counts as such when the group is the user's private one.
std::optional<Vista> sin_cambios(const std::string &local, const Procedencia &p);
// Whether `local` is still the file seen as `v`.
bool sigue_igual(const std::string &local, const Vista &v);

// Asks the system now whether `gid` is the user's private group, for a process that
// will not be able to read the group database later; a group never asked about is
// then taken for shared, and its files fetched again.
void anticipa_grupo(gid_t gid);

} // namespace sockvor
