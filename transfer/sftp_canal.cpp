#include "sftp_canal.h"

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

ReglaDeProgreso regla_de_progreso(std::chrono::milliseconds plazo) {
    auto ventana = 2 * plazo;
    auto segundos = std::chrono::duration_cast<std::chrono::seconds>(ventana).count();
    return {ventana, static_cast<std::uint64_t>(std::max<long long>(segundos, 1)) * 1024};
}

CanalSftp::CanalSftp(std::unique_ptr<Transporte> transporte)
    : transporte_(std::move(transporte)), regla_(regla_de_progreso(transporte_->plazo())) {
    const std::string accion = "iniciar el subsistema SFTP";
    salida_ = sftp::pide_init();
    vacia(accion);
    std::string motivo;
    std::optional<std::string_view> paquete;
    while (!(paquete = entrada_.siguiente(motivo))) {
        if (!motivo.empty()) {
            falla_protocolo(motivo, accion);
        }
        lee(accion, {});
    }
    auto v = sftp::lee_version(*paquete, motivo);
    if (!v) {
        falla_protocolo(motivo, accion);
    }
    if (v->numero < sftp::version) {
        falla(SOCKVOR_E_SFTP, "El host " + host() + " habla SFTP versión " +
                                  std::to_string(v->numero) + "; hace falta la versión 3");
    }
}

CanalSftp::~CanalSftp() {
    transporte_->cierra(salida_);
}

void CanalSftp::falla_protocolo(const std::string &motivo, const std::string &accion) {
    // Past a packet that cannot be framed, or one nobody asked for, the stream
    // cannot be read any further.
    transporte_->rompe();
    falla(SOCKVOR_E_SFTP,
          "El host " + host() + " rompió el protocolo SFTP al " + accion + ": " + motivo);
}

void CanalSftp::vacia(const std::string &accion) {
    if (salida_.empty()) {
        return;
    }
    std::string envio;
    envio.swap(salida_);
    transporte_->envia(envio, accion);
}

bool CanalSftp::lee(const std::string &accion, std::chrono::milliseconds paciencia) {
    constexpr std::size_t bloque = 65536;
    char *destino = entrada_.espacio(bloque);
    std::size_t n = transporte_->recibe(destino, bloque, accion, paciencia);
    recibidos_ += n;
    entrada_.toma(n);
    if (n > 0) {
        callado_desde_ = ahora();
    }
    return n > 0;
}

void CanalSftp::despacha(const std::string &accion) {
    std::string motivo;
    while (auto paquete = entrada_.siguiente(motivo)) {
        auto r = sftp::lee_respuesta(*paquete, motivo);
        if (!r) {
            falla_protocolo(motivo, accion);
        }
        auto it = esperando_.find(r->id);
        if (it == esperando_.end()) {
            falla_protocolo("respuesta a un pedido que no se hizo (" + std::to_string(r->id) + ")",
                            accion);
        }
        Atencion atencion = std::move(it->second);
        esperando_.erase(it);
        atencion(*r);
    }
    if (!motivo.empty()) {
        falla_protocolo(motivo, accion);
    }
}

void CanalSftp::atiende(const std::function<bool()> &listo, const std::string &accion,
                        std::optional<Reloj::time_point> hasta) {
    try {
        atiende_sin_resguardo(listo, accion, hasta);
    } catch (...) {
        // Handlers of replies still due may point at the waiter's state, gone now:
        // the stream is not used again.
        transporte_->rompe();
        throw;
    }
}

void CanalSftp::atiende_sin_resguardo(const std::function<bool()> &listo, const std::string &accion,
                                      std::optional<Reloj::time_point> hasta) {
    auto desde = ahora();
    auto base = recibidos_;
    for (;;) {
        despacha(accion);
        if (listo()) {
            vacia(accion);
            return;
        }
        vacia(accion);
        auto momento = ahora();
        if (hasta && momento >= *hasta) {
            return;
        }
        if (esperando_.empty() && !hasta) {
            falla(SOCKVOR_E_INTERNO, "La biblioteca de transferencia esperaba una respuesta que "
                                     "no pidió al " +
                                         accion);
        }
        std::chrono::milliseconds paciencia{};
        if (hasta) {
            // Short of the watchdog's bound, which must not cut a wait that is only a pause.
            paciencia = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*hasta - momento),
                                   std::chrono::milliseconds(1),
                                   std::max(plazo() / 2, std::chrono::milliseconds(1)));
        }
        if (!lee(accion, paciencia)) {
            if (!esperando_.empty() && ahora() - callado_desde_ >= plazo()) {
                transporte_->rompe();
                falla(SOCKVOR_E_TIEMPO, "El host " + host() + " no respondió en " +
                                            segundos(plazo()) + " al " + accion);
            }
            continue;
        }
        momento = ahora();
        if (momento - desde >= regla_.ventana) {
            auto llegados = recibidos_ - base;
            if (llegados < regla_.minimo_bytes) {
                transporte_->rompe();
                falla(SOCKVOR_E_TIEMPO,
                      "El host " + host() + " envió solo " + std::to_string(llegados) +
                          " bytes en " +
                          segundos(std::chrono::duration_cast<std::chrono::milliseconds>(momento -
                                                                                         desde)) +
                          " al " + accion + ": demasiado lento, se abandona");
            }
            desde = momento;
            base = recibidos_;
        }
    }
}

} // namespace sockvor
