// Put first with LD_PRELOAD, stands in for the C library's rename(), unlink(), fsync() and
// fdatasync(): each is noted, in the order made, as a line on the file named by TRAZA_DISCO
// ("rename <to>", "unlink <path>", "fsync <inode>", "fdatasync <inode>") once done. Calls
// made from a signal's handler are noted too: nothing here but fstat and write, on a
// buffer of its own; the real functions and the file were found when the program started.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int traza = -1;
int (*rename_real)(const char *, const char *);
int (*unlink_real)(const char *);
int (*fsync_real)(int);
int (*fdatasync_real)(int);

template <class F> void busca(F *&f, const char *nombre) {
    f = reinterpret_cast<F *>(dlsym(RTLD_NEXT, nombre));
}

// Before main, where dlsym may still take locks and allocate.
__attribute__((constructor)) void prepara() {
    busca(rename_real, "rename");
    busca(unlink_real, "unlink");
    busca(fsync_real, "fsync");
    busca(fdatasync_real, "fdatasync");
    if (const char *ruta = std::getenv("TRAZA_DISCO")) {
        traza = ::open(ruta, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    }
}

// One line, in one write: lines of several threads never mix.
void anota(const char *que, const char *texto) {
    if (traza < 0) {
        return;
    }
    char linea[4200];
    std::size_t n = 0;
    for (const char *partes[] = {que, " ", texto}; const char *p : partes) {
        std::size_t largo = std::min(std::strlen(p), sizeof linea - 1 - n);
        std::memcpy(linea + n, p, largo);
        n += largo;
    }
    linea[n++] = '\n';
    ssize_t escrito = ::write(traza, linea, n);
    static_cast<void>(escrito);
}

void anota(const char *que, int fd) {
    struct stat s {};
    if (::fstat(fd, &s) != 0) {
        return;
    }
    char numero[24];
    char *p = numero + sizeof numero;
    *--p = '\0';
    auto inodo = s.st_ino;
    do {
        *--p = static_cast<char>('0' + inodo % 10);
        inodo /= 10;
    } while (inodo > 0);
    anota(que, p);
}

} // namespace

// Each noted once done, so that its line says it was.
extern "C" int rename(const char *antes, const char *despues) {
    int r = rename_real(antes, despues);
    anota("rename", despues);
    return r;
}

extern "C" int unlink(const char *ruta) {
    int r = unlink_real(ruta);
    anota("unlink", ruta);
    return r;
}

extern "C" int fsync(int fd) {
    int r = fsync_real(fd);
    anota("fsync", fd);
    return r;
}

extern "C" int fdatasync(int fd) {
    int r = fdatasync_real(fd);
    anota("fdatasync", fd);
    return r;
}
