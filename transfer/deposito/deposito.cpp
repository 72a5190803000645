#include "deposito/deposito.h"

#include "deposito/origen.h"
#include "deposito/temporales.h"
#include "errores.h"
#include "sockvor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace sockvor {

namespace {

// Why each file is flushed before its rename (off the driving thread and in batches, see
// asegurador.h), and each folder only every few seconds and at exit:
//
// A file must never show under its final name half-written, even after a power cut; so
// its data and size are on disk (the temporary file is flushed) before the rename is
// issued. Once that flush has returned, whatever later state of the folder reaches the
// disk names a file whose bytes are already there: the rename can be lost in a crash
// (the temporary name stays, whole) but cannot surface a short or empty file. This holds
// on any file system that honours fsync, whatever its own ordering of metadata.
//
// The folder's fsync only makes the rename itself durable, and the promise is that every
// file fetched is durable by the time the program ends. So the folders that received a
// rename are noted and synced when the process exits (by exit() or a return from main,
// whatever the status), or sooner by the first deposit that finds the oldest note
// `espera_maxima` old, which bounds what a busy long-lived caller, or a process killed by
// a signal, leaves to the system's own writeback. That spares one device flush per file,
// about 40% of the disk's share of a run. The file's own flush stays: the caller is told
// a file is stored only once it is at its final name, and it may only be there once its
// bytes are on disk. Files fetched ahead are flushed together while the network brings
// the next ones.
constexpr auto espera_maxima = std::chrono::seconds(5);

struct Pendientes {
    std::mutex mutex;
    std::set<std::string> carpetas;
    std::chrono::steady_clock::time_point desde; // when the oldest of them was noted
    bool registrado = false;
};

// Never destroyed: the exit handler needs it after static destructors may have run.
Pendientes &pendientes() {
    static auto *p = new Pendientes;
    return *p;
}

void asegura_al_salir() {
    detiene_asegurador();
    auto fallas = asegura_carpetas();
    if (fallas.empty()) {
        return;
    }
    // The run may have said its files were deposited; a status of success would then
    // hide that they are not safe on disk. 4 is the command's status for a failed fetch.
    std::fflush(nullptr);
    for (const auto &f : fallas) {
        std::fprintf(stderr, " ERROR %s\n", f.c_str());
    }
    std::fflush(stderr);
    // _exit skips the teardown that would remove the files fetched ahead.
    quita_temporales_anotados();
    ::_exit(4);
}

// False when the folders must be synced now rather than later.
bool anota_carpeta(const std::string &carpeta) {
    auto &p = pendientes();
    std::lock_guard bloqueo(p.mutex);
    if (!p.registrado) {
        if (std::atexit(asegura_al_salir) != 0) {
            return false;
        }
        p.registrado = true;
    }
    auto ahora = std::chrono::steady_clock::now();
    if (p.carpetas.empty()) {
        p.desde = ahora;
    }
    p.carpetas.insert(carpeta);
    return ahora - p.desde < espera_maxima;
}

std::string sincroniza_carpeta(const std::string &carpeta) {
    Descriptor fd(::open(carpeta.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd && errno == ENOENT) {
        return {}; // a folder that is gone holds nothing left to keep
    }
    // EINVAL: the file system keeps no separate state for folders to sync.
    if (!fd || (::fsync(fd.get()) != 0 && errno != EINVAL)) {
        int numero = errno;
        return "No se pudo asegurar en disco la carpeta " + visible(carpeta) +
               ", donde se guardaron archivos: " + causa(numero);
    }
    return {};
}

} // namespace

Deposito::Deposito(std::string destino) : destino_(std::move(destino)) {
    auto barra = destino_.rfind('/');
    std::string nombre = barra == std::string::npos ? destino_ : destino_.substr(barra + 1);
    if (barra == std::string::npos) {
        // A temporary, not a literal: GCC 12 takes assigning "." for an overlapping copy
        // (a false -Wrestrict).
        carpeta_ = std::string(".");
    } else {
        carpeta_ = barra == 0 ? "/" : destino_.substr(0, barra);
    }
    if (nombre.empty() || nombre == "." || nombre == "..") {
        falla(SOCKVOR_E_LOCAL, "La ruta local \"" + visible(destino_) + "\" no nombra un archivo");
    }
    struct stat datos {};
    if (::stat(destino_.c_str(), &datos) == 0 && S_ISDIR(datos.st_mode)) {
        falla(SOCKVOR_E_LOCAL, "No se puede guardar " + visible(destino_) + ": es una carpeta");
    }
    quita_sobrantes(carpeta_, nombre);
    std::string plantilla = plantilla_temporal(carpeta_, nombre);
    int fd = crea_temporal(plantilla);
    if (fd < 0) {
        int numero = errno;
        falla(SOCKVOR_E_LOCAL, "No se pudo crear un archivo en la carpeta " + visible(carpeta_) +
                                   " para guardar " + visible(destino_) + ": " + causa(numero));
    }
    fd_ = Descriptor(fd);
    temporal_ = std::move(plantilla);
    anotado_ = anota_temporal(temporal_);
    // Held while it lives: a later run takes an unheld one for a leftover.
    ::flock(fd_.get(), LOCK_EX | LOCK_NB);
}

Deposito::~Deposito() {
    if (!confirmado_) {
        fd_.cierra();
        if (!temporal_.empty()) {
            ::unlink(temporal_.c_str());
        }
        olvida_temporal(anotado_);
    }
}

void Deposito::falla_local(const std::string &accion, int numero) const {
    falla(SOCKVOR_E_LOCAL, "No se pudo " + accion + " " + visible(destino_) + ": " + causa(numero));
}

void Deposito::escribe(std::uint64_t desde, const char *datos, std::size_t largo) {
    while (largo > 0) {
        ssize_t n = ::pwrite(fd_.get(), datos, largo, static_cast<off_t>(desde));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            falla_local("escribir", errno);
        }
        if (n == 0) {
            falla_local("escribir", ENOSPC);
        }
        datos += n;
        largo -= static_cast<std::size_t>(n);
        desde += static_cast<std::uint64_t>(n);
    }
    empuja_escritura(desde);
}

// A large file would otherwise sit dirty in memory until its flush, which would
// then write all of it while the caller waits: its writeback starts as it
// arrives, a few MiB at a time, and the flush finds little left to do.
void Deposito::empuja_escritura(std::uint64_t hasta) {
    constexpr std::uint64_t tramo = 8u << 20;
    escrito_ = std::max(escrito_, hasta);
    if (escrito_ - empujado_ >= tramo) {
        ::sync_file_range(fd_.get(), static_cast<off_t>(empujado_),
                          static_cast<off_t>(escrito_ - empujado_), SYNC_FILE_RANGE_WRITE);
        empujado_ = escrito_;
    }
}

void Deposito::vacia() {
    if (::ftruncate(fd_.get(), 0) != 0) {
        falla_local("escribir", errno);
    }
    escrito_ = 0;
    empujado_ = 0;
}

void Deposito::termina(const std::optional<Procedencia> &procedencia) {
    if (procedencia) {
        registra_origen(fd_.get(), *procedencia);
    }
    constancia_ = asegura(fd_.get());
}

bool Deposito::asegurado() {
    return constancia_ && hecha(*constancia_);
}

void Deposito::confirma() {
    if (!constancia_) {
        termina(std::nullopt);
    }
    if (int error = espera(*constancia_); error != 0) {
        falla_local("asegurar en disco", error);
    }
    if (fd_.cierra() != 0) {
        falla_local("cerrar", errno);
    }
    if (::rename(temporal_.c_str(), destino_.c_str()) != 0) {
        falla_local("guardar", errno);
    }
    confirmado_ = true;
    olvida_temporal(anotado_);
    // The rename itself is durable once the folder is: see Pendientes above.
    if (!anota_carpeta(carpeta_)) {
        if (auto fallas = asegura_carpetas(); !fallas.empty()) {
            falla(SOCKVOR_E_LOCAL, "Se guardó " + visible(destino_) + " pero: " + fallas.front());
        }
    }
}

std::vector<std::string> asegura_carpetas() {
    auto &p = pendientes();
    std::set<std::string> carpetas;
    {
        std::lock_guard bloqueo(p.mutex);
        carpetas.swap(p.carpetas);
    }
    std::vector<std::string> fallas;
    for (const auto &c : carpetas) {
        if (auto texto = sincroniza_carpeta(c); !texto.empty()) {
            fallas.push_back(std::move(texto));
        }
    }
    return fallas;
}

IgnoraSigxfsz::IgnoraSigxfsz() {
    struct sigaction ignorar {};
    ignorar.sa_handler = SIG_IGN;
    sigemptyset(&ignorar.sa_mask);
    ::sigaction(SIGXFSZ, &ignorar, &previa_);
}

IgnoraSigxfsz::~IgnoraSigxfsz() {
    ::sigaction(SIGXFSZ, &previa_, nullptr);
}

} // namespace sockvor
