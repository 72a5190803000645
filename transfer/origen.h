// Where a deposited file came from, kept with it in the user extended attribute
// "user.sockvor.origen", so a later run can leave alone a file that neither the
// host nor anyone here changed since: the remote size and mtime it was copied
// from, and the inode, size and mtime the local copy had when it was finished.
// A local write changes the mtime, a replacement the inode; a file system
// without user attributes keeps no record, and its files are fetched every time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sockvor {

struct Origen {
    std::uint64_t tamano_remoto = 0;
    std::uint32_t mtime_remoto = 0;
    std::uint64_t inodo = 0;
    std::uint64_t tamano_local = 0;
    std::int64_t mtime_local_s = 0;
    std::uint32_t mtime_local_ns = 0;
    bool operator==(const Origen &) const = default;
};

constexpr const char *atributo_origen = "user.sockvor.origen";

std::string escribe_origen(const Origen &o);
// Strict: exactly the form escribe_origen() makes, or nothing.
std::optional<Origen> lee_origen(std::string_view texto);

// Records, on the finished temporary file behind `fd`, that it holds the remote
// file of that size and mtime. Best effort: without the record the file is only
// fetched again next time.
void registra_origen(int fd, std::uint64_t tamano_remoto, std::uint32_t mtime_remoto);

// Whether `local` is a regular file this library deposited from the remote file
// of that size and mtime, untouched since.
bool sin_cambios(const std::string &local, std::uint64_t tamano_remoto, std::uint32_t mtime_remoto);

} // namespace sockvor
