// Put first with LD_PRELOAD, stands in for the C library's fdatasync() and fsync(): the
// flush of a file whose path holds the text of FALLA_FLUSH fails with EIO; every other
// goes through.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <limits.h>
#include <string>
#include <unistd.h>

namespace {

bool falla(int fd) {
    const char *texto = std::getenv("FALLA_FLUSH");
    char ruta[PATH_MAX];
    ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), ruta, sizeof ruta);
    return texto && *texto && n > 0 &&
           std::string(ruta, static_cast<std::size_t>(n)).find(texto) != std::string::npos;
}

// The C library's own `nombre` for `fd`, unless that file is the one to fail.
int flush(const char *nombre, int fd) {
    if (falla(fd)) {
        errno = EIO;
        return -1;
    }
    return reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, nombre))(fd);
}

} // namespace

extern "C" int fdatasync(int fd) {
    return flush("fdatasync", fd);
}

extern "C" int fsync(int fd) {
    return flush("fsync", fd);
}
