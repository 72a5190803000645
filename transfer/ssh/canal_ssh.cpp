#include "ssh/canal_ssh.h"

#include "sockvor.h"

#include <algorithm>
#include <array>

namespace sockvor {

namespace {

// libssh's own wait is only a backstop behind the watchdog, as for every call.
int espera_libssh(std::chrono::milliseconds plazo) {
    return static_cast<int>(std::min<long long>(2 * plazo.count() + 5000, 24LL * 3600 * 1000));
}

// What a channel lets the host send ahead of our reading. libssh 0.10 keeps it
// near 1.25 MB, which at a 40 ms round trip caps a channel near 30 MB/s; it
// grows the window to whatever a read asks for, so every so often a read asks
// for this much.
constexpr std::uint32_t ventana = 4u << 20;

// Polls after a wait's first, while the socket still has something: up to 64 KiB
// more taken in one wait.
constexpr int mas_sondeos = 16;

// Runs one libssh call as if the session were non-blocking: it sends what it
// must and returns SSH_AGAIN instead of waiting for the host's answer.
template <class F> int sin_esperar(ssh_session s, F &&llamada) {
    ssh_set_blocking(s, 0);
    int r = llamada();
    ssh_set_blocking(s, 1);
    return r;
}

} // namespace

CanalSsh::CanalSsh(ConexionSsh &conexion, bool espera, std::uint64_t &llegadas)
    : conexion_(conexion), llegadas_(llegadas) {
    canal_ = ssh_channel_new(conexion_.ssh.get());
    if (!canal_) {
        conexion_.falla_llamada(SOCKVOR_E_SFTP, "abrir el canal SFTP");
    }
    avisos_.userdata = this;
    avisos_.channel_data_function = al_llegar;
    avisos_.channel_eof_function = al_terminar;
    avisos_.channel_close_function = al_terminar;
    ssh_callbacks_init(&avisos_);
    ssh_set_channel_callbacks(canal_, &avisos_);
    if (!espera) {
        return;
    }
    try {
        if (conexion_.vigilado([&] { return ssh_channel_open_session(canal_); }) != SSH_OK) {
            conexion_.falla_llamada(SOCKVOR_E_SFTP, "abrir el canal SFTP");
        }
        if (conexion_.vigilado([&] { return ssh_channel_request_subsystem(canal_, "sftp"); }) !=
            SSH_OK) {
            conexion_.falla_llamada(SOCKVOR_E_SFTP, "iniciar el subsistema SFTP");
        }
        paso_ = Paso::abierto;
    } catch (...) {
        cierra();
        throw;
    }
}

bool CanalSsh::abierto() {
    while (paso_ != Paso::abierto) {
        if (!da_paso()) {
            return false;
        }
    }
    return true;
}

bool CanalSsh::da_paso() {
    ssh_session s = conexion_.ssh.get();
    int r = paso_ == Paso::sesion
                ? sin_esperar(s, [&] { return ssh_channel_open_session(canal_); })
                : sin_esperar(s, [&] { return ssh_channel_request_subsystem(canal_, "sftp"); });
    if (r == SSH_AGAIN) {
        return false;
    }
    if (r != SSH_OK) {
        roto_ = true;
        // A host at its limit of channels (OpenSSH's MaxSessions) refuses this one
        // and serves the others; anything more is the connection's failure.
        conexion_.falla_llamada(SOCKVOR_E_SFTP, paso_ == Paso::sesion
                                                    ? "abrir otro canal SFTP"
                                                    : "iniciar el subsistema SFTP");
    }
    paso_ = paso_ == Paso::sesion ? Paso::subsistema : Paso::abierto;
    return true;
}

void CanalSsh::pierde(const std::string &accion, const std::string &detalle) {
    roto_ = true;
    if (conexion_.cortada_por_plazo()) {
        conexion_.falla_por_plazo(accion);
    }
    if (conexion_.caida()) {
        conexion_.falla_por_caida(accion, detalle);
    }
    // Only this channel is gone: the connection and its other channels go on.
    falla(SOCKVOR_E_CONEXION_PERDIDA, "El host " + conexion_.host + " cerró un canal SFTP al " +
                                          accion + (detalle.empty() ? "" : ": " + detalle));
}

void CanalSsh::envia(std::string_view bytes, const std::string &accion) {
    std::size_t enviado = 0;
    while (enviado < bytes.size()) {
        auto falta =
            static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size() - enviado, 1u << 20));
        int n = conexion_.vigilado(
            [&] { return ssh_channel_write(canal_, bytes.data() + enviado, falta); });
        if (n <= 0) {
            pierde(accion, visible(ssh_get_error(conexion_.ssh.get())));
        }
        enviado += static_cast<std::size_t>(n);
    }
}

int CanalSsh::al_llegar(ssh_session, ssh_channel, void *datos, std::uint32_t largo, int error,
                        void *yo) {
    auto &c = *static_cast<CanalSsh *>(yo);
    if (!error) { // an sftp server's stderr is not ours to read
        std::string_view llega(static_cast<const char *>(datos), largo);
        if (c.entrada_) {
            c.entrada_->agrega(llega);
        } else {
            c.antes_.append(llega);
        }
        c.llegado_ += largo;
        c.llegadas_ += largo;
    }
    return static_cast<int>(largo);
}

void CanalSsh::al_terminar(ssh_session, ssh_channel, void *yo) {
    static_cast<CanalSsh *>(yo)->terminado_ = true;
}

std::size_t CanalSsh::recibe(sftp::Ensamblador &entrada, const std::string &accion) {
    if (!entrada_) {
        entrada_ = &entrada;
        entrada.agrega(antes_); // what came before there was somewhere to put it
        antes_.clear();
    }
    // Asking libssh for more than its window holds grows the window to that; the
    // read itself finds nothing in its buffer, since all went to al_llegar().
    if (desde_ventana_ >= ventana / 2 && !roto()) {
        desde_ventana_ = 0;
        static const auto nada = std::make_unique_for_overwrite<char[]>(ventana);
        int r = conexion_.vigilado(
            [&] { return ssh_channel_read_timeout(canal_, nada.get(), ventana, 0, 0); });
        if (r < 0) {
            pierde(accion, visible(ssh_get_error(conexion_.ssh.get())));
        }
    }
    auto n = static_cast<std::size_t>(std::exchange(llegado_, 0));
    if (n == 0 && (terminado_ || ssh_channel_is_closed(canal_) || conexion_.caida())) {
        pierde(accion, "el host cerró el canal SFTP");
    }
    desde_ventana_ += n;
    return n;
}

void CanalSsh::termina(std::string_view ultimo) noexcept {
    if (!canal_ || eof_enviado_ || roto_ || paso_ != Paso::abierto || conexion_.muerta ||
        !ssh_is_connected(conexion_.ssh.get()) || ssh_channel_is_closed(canal_)) {
        return;
    }
    // As OpenSSH's client ends: our EOF, on which the host's sftp server ends.
    Guardia guardia(conexion_.fd, conexion_.plazo);
    // What still comes is read and dropped by cierra(), from libssh's own buffer.
    ssh_remove_channel_callbacks(canal_, &avisos_);
    // Requests nobody waited for (closes) may still be queued: they go first,
    // so the host frees every handle before it sees the end.
    if (!ultimo.empty()) {
        ssh_channel_write(canal_, ultimo.data(), static_cast<std::uint32_t>(ultimo.size()));
    }
    eof_enviado_ = ssh_channel_send_eof(canal_) == SSH_OK;
    if (vigia().disparo()) {
        conexion_.muerta = true;
    }
}

void CanalSsh::cierra() noexcept {
    if (!canal_) {
        return;
    }
    termina({});
    if (eof_enviado_ && !conexion_.muerta && ssh_is_connected(conexion_.ssh.get()) &&
        !ssh_channel_is_closed(canal_)) {
        // Whatever the host still sends, its EOF and its close are read to the end,
        // since data left unread when the socket closes turns the close into a
        // reset; then ours.
        Guardia guardia(conexion_.fd, conexion_.plazo);
        // Replies to requests still in flight are read and dropped: libssh holds
        // back the host's close while any data of the channel is unread.
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
        ssh_channel_close(canal_);
        if (vigia().disparo()) {
            conexion_.muerta = true;
        }
    }
    ssh_remove_channel_callbacks(canal_, &avisos_);
    ssh_channel_free(canal_);
    canal_ = nullptr;
}

std::unique_ptr<Transporte> RedSsh::primer_canal() {
    return std::make_unique<CanalSsh>(conexion_, true, llegadas_);
}

std::unique_ptr<Transporte> RedSsh::otro_canal() {
    if (conexion_.muerta) {
        return nullptr;
    }
    return std::make_unique<CanalSsh>(conexion_, false, llegadas_);
}

bool RedSsh::espera(std::chrono::milliseconds paciencia, const std::string &accion) {
    // Something came since the last wait, while a write or a read took packets
    // off the socket: it is there to be taken, and the socket may not stir again.
    if (std::exchange(vistas_, llegadas_) != llegadas_) {
        return true;
    }
    bool algo = false;
    bool error = false;
    {
        Guardia guardia(conexion_.fd, conexion_.plazo);
        if (!evento_) {
            evento_.reset(ssh_event_new());
        }
        if (!evento_ || ssh_event_add_session(evento_.get(), conexion_.ssh.get()) != SSH_OK) {
            falla(SOCKVOR_E_INTERNO, "No se pudo esperar al host " + conexion_.host);
        }
        int r = ssh_event_dopoll(evento_.get(),
                                 static_cast<int>(std::max<long long>(paciencia.count(), 0)));
        // libssh takes at most 4 KiB off the socket per poll: what else is there is
        // taken now, a few polls more, rather than after a whole round of the waiter.
        for (int i = 0; i < mas_sondeos && r == SSH_OK; ++i) {
            int otro = ssh_event_dopoll(evento_.get(), 0);
            if (otro != SSH_OK) {
                r = otro == SSH_ERROR ? otro : r;
                break;
            }
        }
        ssh_event_remove_session(evento_.get(), conexion_.ssh.get());
        algo = r == SSH_OK;
        error = r == SSH_ERROR;
        vistas_ = llegadas_;
    }
    if (conexion_.cortada_por_plazo()) {
        conexion_.falla_por_plazo(accion);
    }
    if (error || conexion_.caida()) {
        conexion_.falla_por_caida(accion, visible(ssh_get_error(conexion_.ssh.get())));
    }
    return algo;
}

} // namespace sockvor
