#include "deposito.h"

#include "errores.h"
#include "sockvor.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace sockvor {

namespace {

// Keeps ".<name>.XXXXXX" within NAME_MAX for names near the limit.
constexpr std::size_t maximo_nombre_temporal = 200;

mode_t permisos_nuevos() {
    mode_t mascara = ::umask(0);
    ::umask(mascara);
    return 0666 & ~mascara;
}

} // namespace

Deposito::Deposito(std::string destino) : destino_(std::move(destino)) {
    auto barra = destino_.rfind('/');
    std::string nombre = barra == std::string::npos ? destino_ : destino_.substr(barra + 1);
    if (barra == std::string::npos) {
        carpeta_ = ".";
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
    std::string plantilla = (carpeta_ == "/" ? "" : carpeta_) + "/." +
                            nombre.substr(0, maximo_nombre_temporal) + ".XXXXXX";
    // mkostemp opens with O_CREAT|O_EXCL: never someone else's file.
    int fd = ::mkostemp(plantilla.data(), O_CLOEXEC);
    if (fd < 0) {
        int numero = errno;
        falla(SOCKVOR_E_LOCAL, "No se pudo crear un archivo en la carpeta " + visible(carpeta_) +
                                   " para guardar " + visible(destino_) + ": " + causa(numero));
    }
    fd_ = Descriptor(fd);
    temporal_ = std::move(plantilla);
    // mkostemp makes 0600; a fetched file gets the usual permissions.
    ::fchmod(fd_.get(), permisos_nuevos());
}

Deposito::~Deposito() {
    if (!confirmado_) {
        fd_.cierra();
        if (!temporal_.empty()) {
            ::unlink(temporal_.c_str());
        }
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
}

void Deposito::confirma() {
    if (::fsync(fd_.get()) != 0) {
        falla_local("asegurar en disco", errno);
    }
    if (fd_.cierra() != 0) {
        falla_local("cerrar", errno);
    }
    if (::rename(temporal_.c_str(), destino_.c_str()) != 0) {
        falla_local("guardar", errno);
    }
    confirmado_ = true;
    // The rename itself is durable only once the folder is.
    Descriptor carpeta(::open(carpeta_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!carpeta || (::fsync(carpeta.get()) != 0 && errno != EINVAL)) {
        int numero = errno;
        falla(SOCKVOR_E_LOCAL, "Se guardó " + visible(destino_) +
                                   " pero no se pudo asegurar en "
                                   "disco la carpeta " +
                                   visible(carpeta_) + ": " + causa(numero));
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
