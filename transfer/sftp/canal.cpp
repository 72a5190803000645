#include "sftp/canal.h"

#include "sockvor.h"

#include <algorithm>

namespace sockvor {

namespace {

std::string causa_sftp(std::uint32_t codigo) {
    switch (codigo) {
    case sftp::FX_EOF:
        return "fin de archivo inesperado";
    case sftp::FX_NO_SUCH_FILE:
        return "no existe";
    case sftp::FX_PERMISSION_DENIED:
        return "permiso denegado";
    case sftp::FX_FAILURE:
        return "falla en el servidor";
    case sftp::FX_BAD_MESSAGE:
        return "mensaje inválido";
    case sftp::FX_OP_UNSUPPORTED:
        return "operación no soportada por el servidor";
    case 9: // SSH_FX_INVALID_HANDLE of later drafts, which some version 3 hosts send
        return "identificador inválido";
    case 10: // SSH_FX_NO_SUCH_PATH, likewise
        return "la ruta no existe";
    default:
        return "error SFTP " + std::to_string(codigo);
    }
}

// A host's message is shown, never obeyed: one line, no control bytes, and short
// enough to leave room for the rest of the text.
constexpr std::size_t mensaje_maximo = 200;

} // namespace

std::string explica(const sftp::Estado &e) {
    std::string texto = causa_sftp(e.codigo);
    if (!e.mensaje.empty()) {
        texto += " (" + visible(std::string_view(e.mensaje).substr(0, mensaje_maximo)) + ")";
    }
    return texto;
}

CanalSftp::CanalSftp(std::unique_ptr<Transporte> transporte, const Red &red)
    : transporte_(std::move(transporte)), red_(red) {
    salida_ = sftp::pide_init();
}

CanalSftp::~CanalSftp() {
    termina();
    transporte_->cierra();
}

void CanalSftp::termina() noexcept {
    transporte_->termina(salida_);
    salida_.clear();
}

void CanalSftp::falla_protocolo(const std::string &motivo, const std::string &accion) {
    // Past a packet that cannot be framed, or one nobody asked for, the stream
    // cannot be read any further.
    transporte_->rompe();
    falla(SOCKVOR_E_SFTP,
          "El host " + host() + " rompió el protocolo SFTP al " + accion + ": " + motivo);
}

void CanalSftp::vacia(const std::string &accion) {
    if (salida_.empty() || roto() || !transporte_->abierto()) {
        return;
    }
    std::string envio;
    envio.swap(salida_);
    transporte_->envia(envio, accion);
}

std::size_t CanalSftp::lee(const std::string &accion) {
    if (roto() || !transporte_->abierto()) {
        return 0;
    }
    return transporte_->recibe(entrada_, accion);
}

void CanalSftp::despacha(const std::string &accion) {
    std::string motivo;
    // Read once a packet is there: most calls find none, and on some virtual
    // machines reading the clock costs more than looking.
    std::optional<Red::Reloj::time_point> llegada;
    while (auto paquete = entrada_.siguiente(motivo)) {
        if (!llegada) {
            llegada = red_.ahora();
        }
        if (!version_) {
            auto v = sftp::lee_version(*paquete, motivo);
            if (!v) {
                falla_protocolo(motivo, accion);
            }
            if (v->numero < sftp::version) {
                transporte_->rompe();
                falla(SOCKVOR_E_SFTP, "El host " + host() + " habla SFTP versión " +
                                          std::to_string(v->numero) + "; hace falta la versión 3");
            }
            version_ = true;
            continue;
        }
        auto r = sftp::lee_respuesta(*paquete, motivo);
        if (!r) {
            falla_protocolo(motivo, accion);
        }
        auto it = esperando_.find(r->id);
        if (it == esperando_.end()) {
            falla_protocolo("respuesta a un pedido que no se hizo (" + std::to_string(r->id) + ")",
                            accion);
        }
        Atencion atencion = std::move(it->second.atencion);
        auto tardo = *llegada - it->second.desde;
        ida_y_vuelta_ = std::min(ida_y_vuelta_.value_or(tardo), tardo);
        if (it->second.apertura && aperturas_.size() < aperturas_medidas) {
            aperturas_.push_back(*llegada - std::max(it->second.desde,
                                                     ultima_respuesta_.value_or(it->second.desde)));
        }
        ultima_respuesta_ = llegada;
        esperando_.erase(it);
        atencion(*r);
    }
    if (!motivo.empty()) {
        falla_protocolo(motivo, accion);
    }
}

void CanalSftp::pierde(const std::string &causa) {
    perdido_ = true;
    causa_ = causa;
    transporte_->rompe();
    salida_.clear();
    // Handlers may ask for more: that is answered by responde_tardios().
    auto pendientes = std::move(esperando_);
    esperando_.clear();
    for (auto &[id, espera] : pendientes) {
        sftp::Respuesta r{id, sftp::Estado{sftp::FX_CONNECTION_LOST, causa}};
        espera.atencion(r);
    }
}

void CanalSftp::responde_tardios() {
    auto pendientes = std::move(tardios_);
    tardios_.clear();
    for (auto &[id, atencion] : pendientes) {
        sftp::Respuesta r{id, sftp::Estado{sftp::FX_CONNECTION_LOST, causa_}};
        atencion(r);
    }
}

} // namespace sockvor
