#include "ssh/llaves.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <libssh/libssh.h>
#include <openssl/crypto.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace sockvor {

namespace {

// The text of a regular file, read without blocking on anything else (a pipe
// named like a key would hang the holder); nothing when it is not one, or is
// larger than libssh reads a key file.
std::optional<std::string> lee(const std::string &ruta) {
    constexpr off_t maximo = 4 << 20;
    Descriptor fd(::open(ruta.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat datos {};
    if (!fd || ::fstat(fd.get(), &datos) != 0 || !S_ISREG(datos.st_mode) ||
        datos.st_size > maximo) {
        return std::nullopt;
    }
    std::string texto(static_cast<std::size_t>(datos.st_size), '\0');
    std::size_t leidos = 0;
    while (leidos < texto.size()) {
        ssize_t n = ::read(fd.get(), texto.data() + leidos, texto.size() - leidos);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        leidos += static_cast<std::size_t>(n);
    }
    texto.resize(leidos);
    return texto;
}

// Asked for a passphrase: refuses, so neither libssh nor OpenSSL ever prompts,
// and notes that the key wanted one.
int sin_frase(const char *, char *, size_t, int, int, void *pidio) {
    *static_cast<bool *>(pidio) = true;
    return -1;
}

// The public key of NAME.pub ("type base64 comment"), if libssh can read it.
std::string blob_publico(const std::string &archivo) {
    auto texto = lee(archivo + ".pub");
    std::istringstream campos(texto.value_or(""));
    std::string tipo, b64;
    campos >> tipo >> b64;
    auto clase = ssh_key_type_from_name(tipo.c_str());
    ssh_key llave = nullptr;
    if (clase == SSH_KEYTYPE_UNKNOWN ||
        ssh_pki_import_pubkey_base64(b64.c_str(), clase, &llave) != SSH_OK) {
        return {};
    }
    Llave publica(llave);
    return blob_de(llave);
}

} // namespace

Llaves::Llaves(const Identidades &ids, std::string login, std::chrono::milliseconds plazo)
    : login_(std::move(login)) {
    if (!ids.agente.empty()) {
        conecta_agente(ids.agente, plazo);
    }
    for (const auto &a : ids.archivos) {
        carga(a);
    }
    // A key kept back that was listed all the same (through the agent) was offered already.
    std::erase_if(con_frase_,
                  [this](const agente::ConFrase &c) { return !c.blob.empty() && listada(c.blob); });
}

void Llaves::conecta_agente(const std::string &ruta, std::chrono::milliseconds plazo) {
    sockaddr_un direccion{};
    direccion.sun_family = AF_UNIX;
    if (ruta.size() >= sizeof direccion.sun_path) {
        return;
    }
    ruta.copy(direccion.sun_path, ruta.size());
    agente_ = Descriptor(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval t{static_cast<time_t>(plazo.count() / 1000),
              static_cast<suseconds_t>(plazo.count() % 1000 * 1000)};
    if (!agente_ ||
        ::connect(agente_.get(), reinterpret_cast<sockaddr *>(&direccion), sizeof direccion) != 0 ||
        ::setsockopt(agente_.get(), SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t) != 0 ||
        ::setsockopt(agente_.get(), SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t) != 0 ||
        !agente::envia(agente_.get(), agente::pide_identidades())) {
        agente_.cierra();
        return;
    }
    auto respuesta = agente::recibe(agente_.get());
    auto suyas = respuesta ? agente::lee_identidades(*respuesta) : std::nullopt;
    if (!suyas) {
        agente_.cierra();
        return;
    }
    for (auto &i : *suyas) {
        // A key libssh cannot read would end its walk through the list there,
        // and one it writes back otherwise would not be found when signed with.
        if (auto llave = llave_de_blob(i.blob); llave && blob_de(llave.get()) == i.blob) {
            lista(std::move(i.blob), "");
        }
    }
}

void Llaves::carga(const std::string &archivo) {
    auto texto = lee(archivo);
    if (!texto) {
        return;
    }
    bool pidio = false;
    ssh_key llave = nullptr;
    int r = ssh_pki_import_privkey_base64(texto->c_str(), nullptr, sin_frase, &pidio, &llave);
    Llave importada(llave);
    if (r == SSH_OK) {
        auto firmante = Firmante::de_texto(*texto);
        auto blob = blob_de(llave);
        // What OpenSSL read must be the key libssh read, or its signatures would not match.
        if (firmante && !blob.empty() && firmante->blob() == blob && lista(blob, archivo)) {
            propias_.emplace_back(std::move(blob), std::move(*firmante));
        }
    } else if (pidio) {
        con_frase_.push_back({archivo, blob_publico(archivo)});
    }
    OPENSSL_cleanse(texto->data(), texto->size());
}

bool Llaves::lista(std::string blob, std::string comentario) {
    std::size_t largo = 8 + blob.size() + comentario.size();
    if (lista_.size() == agente::identidades_maximas ||
        largo_lista_ + largo > agente::mensaje_maximo - 16 || listada(blob)) {
        return false;
    }
    largo_lista_ += largo;
    lista_.push_back({std::move(blob), std::move(comentario)});
    return true;
}

bool Llaves::listada(std::string_view blob) const {
    return std::any_of(lista_.begin(), lista_.end(), [&](const auto &i) { return i.blob == blob; });
}

std::string Llaves::atiende(std::string_view cuerpo) {
    auto pedido = agente::lee_pedido(cuerpo);
    if (std::holds_alternative<agente::PideIdentidades>(pedido)) {
        return agente::identidades(lista_);
    }
    if (auto *p = std::get_if<agente::PideFirma>(&pedido)) {
        return firma(*p);
    }
    if (std::holds_alternative<agente::PideConFrase>(pedido)) {
        return agente::con_frase(con_frase_);
    }
    return agente::falla();
}

std::string Llaves::firma(const agente::PideFirma &pedido) {
    if (!agente::es_ingreso(pedido.datos, login_, pedido.blob)) {
        return agente::falla();
    }
    for (const auto &[blob, firmante] : propias_) {
        if (blob == pedido.blob) {
            auto f = firmante.firma(pedido.datos, pedido.banderas);
            return f ? agente::firma(*f) : agente::falla();
        }
    }
    if (!listada(pedido.blob) || !agente_) {
        return agente::falla();
    }
    std::optional<std::string> respuesta;
    if (agente::envia(agente_.get(), agente::pide_firma(pedido))) {
        respuesta = agente::recibe(agente_.get());
    }
    auto f = respuesta ? agente::lee_firma(*respuesta) : std::nullopt;
    if (!respuesta) {
        agente_.cierra(); // its stream is out of step now
    }
    return f ? agente::firma(*f) : agente::falla();
}

} // namespace sockvor
