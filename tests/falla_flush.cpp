// Put first with LD_PRELOAD, stands in for the C library's fdatasync() and fsync(): the
// flush of a file whose path holds the text of FALLA_FLUSH fails with EIO; every other
// goes through. A text that ends in '/' names a folder: only that folder's own flush
// fails, not those of the files in it. With FALLA_FLUSH_VECES=N only the first N such
// flushes fail, as a disk's passing fault would.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <limits.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

std::atomic<long> fallados{0};

bool falla(int fd) {
    const char *texto = std::getenv("FALLA_FLUSH");
    const char *veces = std::getenv("FALLA_FLUSH_VECES");
    char ruta[PATH_MAX];
    ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), ruta, sizeof ruta);
    if (!texto || !*texto || n <= 0) {
        return false;
    }
    std::string visto(ruta, static_cast<std::size_t>(n));
    std::string_view buscado = texto;
    bool es =
        buscado.back() == '/' ? visto + "/" == buscado : visto.find(buscado) != std::string::npos;
    return es && (!veces || fallados++ < std::atol(veces));
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
