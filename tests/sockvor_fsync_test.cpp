// A deposit whose data cannot be put on disk must never take its final name.
// This program's own fsync() stands in for the C library's, for the library too
// (an executable's symbols come first), and fails on demand.
#include "host_fixture.h"
#include "sockvor.h"

#include <atomic>
#include <cerrno>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {
std::atomic<bool> falla_fsync{false};
}

extern "C" int fsync(int fd) {
    static auto *real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    struct stat s {};
    if (falla_fsync && fstat(fd, &s) == 0 && S_ISREG(s.st_mode)) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

namespace {

TEST(SockVor, FsyncFallidoNoDejaNadaNiTocaLaCopiaAnterior) {
    const std::string login = "x1";
    HostSftp host;
    host.usa_home();
    host.crea_remoto(login, "a_201305.xml", bytes_de_prueba(70000, 1));
    const std::string destino = host.deposito() + "/a_201305.xml";
    escribe_archivo(destino, "copia anterior");
    char lista[SOCKVOR_TAM_LISTA];
    char error[SOCKVOR_TAM_ERROR];
    ASSERT_EQ(ListaFolders(host.direccion().c_str(), login.c_str(), "d",
                           HostSftp::ruta_windows(login, "*201305*.xml").c_str(), lista, error),
              SOCKVOR_OK)
        << error;
    falla_fsync = true;
    int r = RecibeArchivo(host.direccion().c_str(), login.c_str(),
                          HostSftp::ruta_windows(login, "a_201305.xml").c_str(), destino.c_str(),
                          error);
    falla_fsync = false;
    EXPECT_EQ(r, SOCKVOR_E_LOCAL) << error;
    EXPECT_STREQ(error,
                 ("No se pudo asegurar en disco " + destino + ": Input/output error").c_str());
    EXPECT_EQ(lee_archivo(destino), "copia anterior");
    EXPECT_TRUE(ocultos(host.deposito()).empty());
}

} // namespace
