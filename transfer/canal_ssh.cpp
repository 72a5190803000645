#include "canal_ssh.h"

#include "sockvor.h"

#include <algorithm>
#include <array>

namespace sockvor {

namespace {

// libssh's own wait is only a backstop behind the watchdog, as for every call.
int espera_libssh(std::chrono::milliseconds plazo) {
    return static_cast<int>(std::min<long long>(2 * plazo.count() + 5000, 24LL * 3600 * 1000));
}

} // namespace

CanalSsh::CanalSsh(ConexionSsh &conexion) : conexion_(conexion) {
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
    } catch (...) {
        cierra({});
        throw;
    }
}

void CanalSsh::envia(std::string_view bytes, const std::string &accion) {
    std::size_t enviado = 0;
    while (enviado < bytes.size()) {
        auto falta =
            static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size() - enviado, 1u << 20));
        int n = conexion_.vigilado(
            [&] { return ssh_channel_write(canal_, bytes.data() + enviado, falta); });
        if (n <= 0) {
            if (conexion_.cortada_por_plazo()) {
                conexion_.falla_por_plazo(accion);
            }
            conexion_.falla_por_caida(accion, visible(ssh_get_error(conexion_.ssh.get())));
        }
        enviado += static_cast<std::size_t>(n);
    }
}

std::size_t CanalSsh::recibe(char *destino, std::size_t maximo, const std::string &accion,
                             std::chrono::milliseconds paciencia) {
    int espera = paciencia.count() > 0 ? static_cast<int>(paciencia.count())
                                       : espera_libssh(conexion_.plazo);
    auto largo = static_cast<std::uint32_t>(std::min<std::size_t>(maximo, 1u << 30));
    for (;;) {
        int n = conexion_.vigilado(
            [&] { return ssh_channel_read_timeout(canal_, destino, largo, 0, espera); });
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
        if (conexion_.cortada_por_plazo()) {
            conexion_.falla_por_plazo(accion);
        }
        if (n == SSH_AGAIN ||
            (n == 0 && !ssh_channel_is_eof(canal_) && !ssh_channel_is_closed(canal_))) {
            if (paciencia.count() > 0) {
                return 0;
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

void CanalSsh::cierra(std::string_view ultimo) noexcept {
    if (!canal_) {
        return;
    }
    if (!conexion_.muerta && ssh_is_connected(conexion_.ssh.get()) &&
        !ssh_channel_is_closed(canal_)) {
        // As OpenSSH's client ends: our EOF, on which the host's sftp server ends;
        // whatever it still sends, its EOF and its close read to the end, since data
        // left unread when the socket closes turns the close into a reset; then ours.
        Guardia guardia(conexion_.fd, conexion_.plazo);
        // Requests nobody waited for (closes) may still be queued: they go first,
        // so the host frees every handle before it sees the end.
        if (!ultimo.empty()) {
            ssh_channel_write(canal_, ultimo.data(), static_cast<std::uint32_t>(ultimo.size()));
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

} // namespace sockvor
