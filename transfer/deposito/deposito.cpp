#include "deposito/deposito.h"

#include "deposito/carpetas.h"
#include "deposito/origen.h"
#include "deposito/temporales.h"
#include "errores.h"
#include "sockvor.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace sockvor {

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
    sostiene_carpeta(carpeta_);
    std::string plantilla = plantilla_temporal(carpeta_, nombre);
    int fd = crea_temporal(plantilla, anotado_);
    if (fd < 0) {
        int numero = errno;
        falla(SOCKVOR_E_LOCAL, "No se pudo crear un archivo en la carpeta " + visible(carpeta_) +
                                   " para guardar " + visible(destino_) + ": " + causa(numero));
    }
    fd_ = Descriptor(fd);
    temporal_ = std::move(plantilla);
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
    // The rename itself is durable once the folder is: see carpetas.cpp.
    if (!anota_carpeta(carpeta_)) {
        if (auto fallas = asegura_carpetas(); !fallas.empty()) {
            falla(SOCKVOR_E_LOCAL, "Se guardó " + visible(destino_) + " pero: " + fallas.front());
        }
    }
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
