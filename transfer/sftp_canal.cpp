#include "sftp_canal.h"

#include "sockvor.h"

#include <algorithm>
#include <array>

namespace sockvor {

namespace {

// libssh's own wait is only a backstop behind the watchdog, as for every call.
int espera_libssh(std::chrono::milliseconds plazo) {
    return static_cast<int>(std::min<long long>(2 * plazo.count() + 5000, 24LL * 3600 * 1000));
}

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

CanalSftp::CanalSftp(ConexionSsh &conexion)
    : conexion_(conexion), regla_(regla_de_progreso(conexion.plazo)) {
    canal_ = ssh_channel_new(conexion_.ssh.get());
    if (!canal_) {
        conexion_.falla_llamada(SOCKVOR_E_SFTP, "abrir el canal SFTP");
    }
    try {
        if (conexion_.vigilado([&] { return ssh_channel_open_session(canal_); }) != SSH_OK) {
            conexion_.falla_llamada(SOCKVOR_E_SFTP, "abrir el canal SFTP");
        }
        if (conexion_.vigilado([&] { return ssh_channel_request_subsystem(canal_, "sftp"); }) !=
            SSH_OK) {
            conexion_.falla_llamada(SOCKVOR_E_SFTP, "iniciar el subsistema SFTP");
        }
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
            falla(SOCKVOR_E_SFTP, "El host " + conexion_.host + " habla SFTP versión " +
                                      std::to_string(v->numero) + "; hace falta la versión 3");
        }
    } catch (...) {
        cierra();
        throw;
    }
}

CanalSftp::~CanalSftp() {
    cierra();
}

void CanalSftp::cierra() noexcept {
    if (!canal_) {
        return;
    }
    if (!conexion_.muerta && ssh_is_connected(conexion_.ssh.get()) &&
        !ssh_channel_is_closed(canal_)) {
        // As OpenSSH's client ends: our EOF, on which the host's sftp server ends;
        // whatever it still sends, its EOF and its close read to the end, since data
        // left unread when the socket closes turns the close into a reset; then ours.
        Guardia guardia(conexion_.fd, conexion_.plazo);
        // Closes nobody waited for may still be queued: they go first, so the
        // host frees every handle before it sees the end.
        if (!salida_.empty()) {
            ssh_channel_write(canal_, salida_.data(), static_cast<std::uint32_t>(salida_.size()));
            salida_.clear();
        }
        if (ssh_channel_send_eof(canal_) == SSH_OK) {
            // Replies to requests still in flight are read and dropped: libssh
            // holds back the host's close while any data of the channel is unread.
            std::array<char, 4096> resto;
            while (!vigia().disparo()) {
                int n = ssh_channel_read_timeout(canal_, resto.data(), resto.size(), 0,
                                                 espera_libssh(conexion_.plazo));
                if (n > 0 || n == SSH_AGAIN) {
                    continue;
                }
                if (n < 0 || ssh_channel_is_eof(canal_) || ssh_channel_is_closed(canal_)) {
                    break;
                }
            }
            // Past the host's EOF a channel read no longer reads the socket.
            if (ssh_channel_is_eof(canal_) && !vigia().disparo()) {
                conexion_.atiende_hasta([&] { return ssh_channel_is_closed(canal_) != 0; },
                                        espera_libssh(conexion_.plazo));
            }
        }
        ssh_channel_close(canal_);
        if (vigia().disparo()) {
            conexion_.muerta = true;
        }
    }
    ssh_channel_free(canal_);
    canal_ = nullptr;
}

void CanalSftp::falla_protocolo(const std::string &motivo, const std::string &accion) {
    // Past a malformed packet the stream cannot be read any further.
    conexion_.muerta = true;
    falla(SOCKVOR_E_SFTP,
          "El host " + conexion_.host + " rompió el protocolo SFTP al " + accion + ": " + motivo);
}

void CanalSftp::vacia(const std::string &accion) {
    std::size_t enviado = 0;
    while (enviado < salida_.size()) {
        auto falta =
            static_cast<std::uint32_t>(std::min<std::size_t>(salida_.size() - enviado, 1u << 20));
        int n = conexion_.vigilado(
            [&] { return ssh_channel_write(canal_, salida_.data() + enviado, falta); });
        if (n <= 0) {
            salida_.clear();
            if (conexion_.cortada_por_plazo()) {
                conexion_.falla_por_plazo(accion);
            }
            conexion_.falla_por_caida(accion, visible(ssh_get_error(conexion_.ssh.get())));
        }
        enviado += static_cast<std::size_t>(n);
    }
    salida_.clear();
}

bool CanalSftp::lee(const std::string &accion, std::chrono::milliseconds paciencia) {
    constexpr std::uint32_t bloque = 65536;
    int espera = paciencia.count() > 0 ? static_cast<int>(paciencia.count())
                                       : espera_libssh(conexion_.plazo);
    for (;;) {
        char *destino = entrada_.espacio(bloque);
        int n = conexion_.vigilado(
            [&] { return ssh_channel_read_timeout(canal_, destino, bloque, 0, espera); });
        if (n > 0) {
            recibidos_ += static_cast<std::uint64_t>(n);
            entrada_.toma(static_cast<std::size_t>(n));
            return true;
        }
        if (conexion_.cortada_por_plazo()) {
            conexion_.falla_por_plazo(accion);
        }
        if (n == SSH_AGAIN ||
            (n == 0 && !ssh_channel_is_eof(canal_) && !ssh_channel_is_closed(canal_))) {
            if (paciencia.count() > 0) {
                return false;
            }
            continue;
        }
        std::string detalle = visible(ssh_get_error(conexion_.ssh.get()));
        if (n == 0 && ssh_is_connected(conexion_.ssh.get())) {
            detalle = "el host cerró el canal SFTP";
        }
        conexion_.falla_por_caida(accion, detalle);
    }
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
                        std::chrono::milliseconds paciencia) {
    try {
        atiende_sin_resguardo(listo, accion, paciencia);
    } catch (...) {
        // Handlers of replies still due may point at the waiter's state, gone now:
        // the channel is not used again.
        conexion_.muerta = true;
        throw;
    }
}

void CanalSftp::atiende_sin_resguardo(const std::function<bool()> &listo, const std::string &accion,
                                      std::chrono::milliseconds paciencia) {
    using reloj = std::chrono::steady_clock;
    auto desde = reloj::now();
    auto base = recibidos_;
    for (;;) {
        despacha(accion);
        if (listo()) {
            vacia(accion);
            return;
        }
        vacia(accion);
        if (esperando_.empty()) {
            if (paciencia.count() > 0) {
                return;
            }
            falla(SOCKVOR_E_INTERNO, "La biblioteca de transferencia esperaba una respuesta que "
                                     "no pidió al " +
                                         accion);
        }
        if (!lee(accion, paciencia)) {
            return;
        }
        auto ahora = reloj::now();
        if (ahora - desde >= regla_.ventana) {
            auto llegados = recibidos_ - base;
            if (llegados < regla_.minimo_bytes) {
                conexion_.muerta = true;
                falla(SOCKVOR_E_TIEMPO,
                      "El host " + conexion_.host + " envió solo " + std::to_string(llegados) +
                          " bytes en " +
                          segundos(std::chrono::duration_cast<std::chrono::milliseconds>(ahora -
                                                                                         desde)) +
                          " al " + accion + ": demasiado lento, se abandona");
            }
            desde = ahora;
            base = recibidos_;
        }
    }
}

} // namespace sockvor
