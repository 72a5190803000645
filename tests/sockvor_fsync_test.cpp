// What the library asks of the kernel to put a deposit on disk, seen by standing in
// for the C library: this program's fdatasync(), fsync(), sync_file_range(), syncfs(),
// pwrite(), rename() and fcntl() come first, for the library too (an executable's symbols
// do), note what each did to which file, and call the real one. A file's flush fails on
// demand. The command itself runs with falla_flush.cpp preloaded instead.
#include "host_fixture.h"
#include "llamadas.h"
#include "sockvor.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<bool> falla_fsync{false};

// One call on a regular file, by inode: the data written, its own flush (fdatasync or
// fsync), a whole file system synced, the file renamed.
struct Llamada {
    enum Tipo { escritura, flush_archivo, syncfs_sistema, renombre } tipo;
    dev_t sistema;
    ino_t inodo;
    std::string destino; // of a rename
};
std::mutex mutex_llamadas;
std::vector<Llamada> llamadas;

void anota(Llamada::Tipo tipo, const struct stat &s, std::string destino = "") {
    if (S_ISREG(s.st_mode)) {
        std::lock_guard bloqueo(mutex_llamadas);
        llamadas.push_back({tipo, s.st_dev, s.st_ino, std::move(destino)});
    }
}

void anota(Llamada::Tipo tipo, int fd) {
    struct stat s {};
    if (fstat(fd, &s) == 0) {
        anota(tipo, s);
    }
}

// Files handed to the flushing thread so far: each one's descriptor is duplicated for it.
std::atomic<int> encolados{0};
// While above zero, the flushing thread's first flush waits until that many files are
// queued, so those that come meanwhile share the next batch, whatever the timing.
std::atomic<int> retener_hasta{0};
// Every flush by the flushing thread first sleeps this long: a slow disk.
std::atomic<int> demora_ms{0};

void retiene() {
    if (retener_hasta == 0 || gettid() == getpid()) {
        return;
    }
    // The bound only turns a hang into a failure.
    for (int i = 0; i < 60000 && encolados < retener_hasta; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    retener_hasta = 0;
}

void demora() {
    if (demora_ms > 0 && gettid() != getpid()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(demora_ms.load()));
    }
}

template <class F> F *real(const char *nombre) {
    return reinterpret_cast<F *>(dlsym(RTLD_NEXT, nombre));
}

} // namespace

namespace {

int flush(int (*f)(int), int fd) {
    struct stat s {};
    if (falla_fsync && fstat(fd, &s) == 0 && S_ISREG(s.st_mode)) {
        errno = EIO;
        return -1;
    }
    retiene();
    demora();
    int r = f(fd);
    anota(Llamada::flush_archivo, fd);
    return r;
}

} // namespace

extern "C" int fsync(int fd) {
    static auto *f = real<int(int)>("fsync");
    return flush(f, fd);
}

extern "C" int fdatasync(int fd) {
    static auto *f = real<int(int)>("fdatasync");
    return flush(f, fd);
}

extern "C" int syncfs(int fd) {
    static auto *f = real<int(int)>("syncfs");
    retiene();
    int r = f(fd);
    anota(Llamada::syncfs_sistema, fd);
    return r;
}

extern "C" ssize_t pwrite(int fd, const void *datos, size_t largo, off_t desde) {
    static auto *f = real<ssize_t(int, const void *, size_t, off_t)>("pwrite");
    ssize_t r = f(fd, datos, largo, desde);
    anota(Llamada::escritura, fd);
    return r;
}

extern "C" int rename(const char *antes, const char *despues) {
    static auto *f = real<int(const char *, const char *)>("rename");
    struct stat s {};
    if (stat(antes, &s) == 0) {
        anota(Llamada::renombre, s, despues);
    }
    return f(antes, despues);
}

extern "C" int fcntl(int fd, int orden, ...) {
    static auto *f = real<int(int, int, void *)>("fcntl");
    va_list argumentos;
    va_start(argumentos, orden);
    void *argumento = va_arg(argumentos, void *); // as the C library passes it on
    va_end(argumentos);
    struct stat s {};
    if (orden == F_DUPFD_CLOEXEC && fstat(fd, &s) == 0 && S_ISREG(s.st_mode)) {
        ++encolados;
    }
    return f(fd, orden, argumento);
}

namespace {

const std::string login = "x1";

// A deposit whose data cannot be put on disk must never take its final name.
TEST(SockVor, FsyncFallidoNoDejaNadaNiTocaLaCopiaAnterior) {
    HostSftp host;
    host.usa_home();
    host.crea_remoto(login, "a_201305.xml", bytes_de_prueba(70000, 1));
    const std::string destino = host.deposito() + "/a_201305.xml";
    escribe_archivo(destino, "copia anterior");
    ASSERT_NO_FATAL_FAILURE(lista_mayo(host, login));
    char error[SOCKVOR_TAM_ERROR];
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

// Each file is on disk before its rename: its own flush after its last write, never a
// flush of the whole file system.
//   - Files that complete while a flush is in progress are flushed in the next batch:
//     the first flush waits until every file is queued, so the files after the first
//     complete while it is in progress, whatever the timing.
//   - A file with nothing else in flight waits for its own flush, however slow.
struct CasoLote {
    const char *nombre;
    char archivos;
    bool retener;
    int flush_ms; // every flush's delay
};

std::ostream &operator<<(std::ostream &o, const CasoLote &c) {
    return o << c.nombre;
}

class Lote : public testing::TestWithParam<CasoLote> {};

TEST_P(Lote, CadaArchivoSeAseguraAntesDeRenombrarlo) {
    const auto &caso = GetParam();
    HostSftp host;
    host.usa_home();
    std::vector<std::string> nombres;
    for (char c = 'a'; c < 'a' + caso.archivos; ++c) {
        nombres.push_back(std::string(1, c) + "_201305.xml");
        host.crea_remoto(login, nombres.back(), bytes_de_prueba(1000 + c, c));
    }
    ASSERT_NO_FATAL_FAILURE(lista_mayo(host, login));
    char error[SOCKVOR_TAM_ERROR];
    {
        std::lock_guard bloqueo(mutex_llamadas);
        llamadas.clear();
    }
    encolados = 0;
    retener_hasta = caso.retener ? static_cast<int>(nombres.size()) : 0;
    demora_ms = caso.flush_ms;
    for (const auto &n : nombres) {
        ASSERT_EQ(RecibeArchivo(host.direccion().c_str(), login.c_str(),
                                HostSftp::ruta_windows(login, n).c_str(),
                                (host.deposito() + "/" + n).c_str(), error),
                  SOCKVOR_OK)
            << error;
    }
    retener_hasta = 0;
    demora_ms = 0;
    std::lock_guard bloqueo(mutex_llamadas);
    EXPECT_GE(encolados, static_cast<int>(nombres.size())) << "la prueba no probó nada";
    EXPECT_TRUE(std::none_of(llamadas.begin(), llamadas.end(), [](const Llamada &l) {
        return l.tipo == Llamada::syncfs_sistema;
    })) << "se aseguró el sistema de archivos entero";
    for (const auto &n : nombres) {
        auto renombre = std::find_if(llamadas.begin(), llamadas.end(), [&](const Llamada &l) {
            return l.tipo == Llamada::renombre && l.destino == host.deposito() + "/" + n;
        });
        ASSERT_NE(renombre, llamadas.end()) << n;
        auto suya = [&](const Llamada &l) {
            return l.sistema == renombre->sistema && l.inodo == renombre->inodo;
        };
        auto desde =
            std::find_if(std::make_reverse_iterator(renombre), llamadas.rend(),
                         [&](const Llamada &l) { return suya(l) && l.tipo == Llamada::escritura; })
                .base();
        EXPECT_TRUE(std::any_of(
            desde, renombre,
            [&](const Llamada &l) { return suya(l) && l.tipo == Llamada::flush_archivo; }))
            << n << ": tomó su nombre sin asegurarse en disco";
    }
}

INSTANTIATE_TEST_SUITE_P(SockVor, Lote,
                         testing::Values(CasoLote{"LlegadosMientrasSeAseguraOtro", 6, true, 0},
                                         CasoLote{"UnoSoloConFlushLento", 1, false, 300}),
                         [](const auto &i) { return std::string(i.param.nombre); });

// The command with one file's flush failing, among files flushed in batches: that file
// takes no name, the run ends with status 4 and the fetch's line, and the files before
// it stay deposited, whole. A Windows host lists the files in order.
TEST(SockVor, ArchivoQueNoSeAseguraTerminaLaCorridaConEstado4) {
    OpcionesHost opciones;
    opciones.windows = true;
    HostSftp host(opciones);
    const std::vector<std::string> nombres = {"a_201306.xml", "b_201306.xml", "c_201306.xml",
                                              "d_201306.xml", "e_201306.xml"};
    for (std::size_t i = 0; i < nombres.size(); ++i) {
        host.crea_remoto(login, nombres[i], bytes_de_prueba(3000 + i, static_cast<unsigned>(i)));
    }
    auto s = corre_en_junio(
        ACUSES_BIN, host, host.direccion(), login, host.deposito(),
        {"env", std::string("LD_PRELOAD=") + FALLA_FLUSH_SO, "FALLA_FLUSH=/.c_201306.xml."});
    EXPECT_EQ(s.estado, 4) << s.texto;
    EXPECT_EQ(s.texto, " ERROR Al Traer el Acuses: No se pudo asegurar en disco " +
                           host.deposito() + "/c_201306.xml: Input/output error\n");
    EXPECT_EQ(archivos(host.deposito()),
              (std::vector<std::string>{"a_201306.xml", "b_201306.xml"}));
    for (const auto &n : {"a_201306.xml", "b_201306.xml"}) {
        EXPECT_EQ(lee_archivo(host.deposito() + "/" + n),
                  lee_archivo(host.ruta_local_remota(login, n)))
            << n;
    }
}

// The folder's sync that fails once, in a batch, while the last file is still coming
// (its reads answered late): the failure is kept and ends the run with status 4, though
// the sync at exit would succeed; the renames before it may not be on disk.
TEST(SockVor, CarpetaQueNoSeAseguraEnUnLoteTerminaLaCorridaConEstado4) {
    OpcionesHost opciones;
    opciones.windows = true;
    opciones.lentos = {"c_201306.xml=500"};
    HostSftp host(opciones);
    for (char c = 'a'; c <= 'c'; ++c) {
        host.crea_remoto(login, std::string(1, c) + "_201306.xml", bytes_de_prueba(2000 + c, c));
    }
    auto s = corre_en_junio(ACUSES_BIN, host, host.direccion(), login, host.deposito(),
                            {"env", std::string("LD_PRELOAD=") + FALLA_FLUSH_SO,
                             "FALLA_FLUSH=" + host.deposito() + "/", "FALLA_FLUSH_VECES=1"});
    EXPECT_EQ(s.estado, 4) << s.texto;
    EXPECT_NE(s.texto.find("No se pudo asegurar en disco la carpeta " + host.deposito()),
              std::string::npos)
        << s.texto;
}

} // namespace
