// The SSH connection as the SFTP layer sees it: channels on the "sftp"
// subsystem (CanalSsh), opened in the background while others work, and the
// one wait for all of them (RedSsh).
#pragma once

#include "sftp/transporte.h"
#include "ssh/ssh.h"

#include <libssh/callbacks.h>

#include <cstdint>
#include <string>

namespace sockvor {

class CanalSsh final : public Transporte {
  public:
    // Asks for a session channel and its "sftp" subsystem; with `espera`, waits
    // until both are granted (and throws when they are not), otherwise leaves
    // that to abierto(). `llegadas` counts what comes on any channel of the
    // connection (RedSsh's).
    CanalSsh(ConexionSsh &conexion, bool espera, std::uint64_t &llegadas);
    CanalSsh(const CanalSsh &) = delete;
    CanalSsh &operator=(const CanalSsh &) = delete;
    ~CanalSsh() override { cierra(); }

    bool abierto() override;
    void envia(std::string_view bytes, const std::string &accion) override;
    std::size_t recibe(sftp::Ensamblador &entrada, const std::string &accion) override;
    // Our EOF; then the host's close read, then ours; all within the connection's timeout.
    void termina(std::string_view ultimo) noexcept override;
    void cierra() noexcept override;
    void rompe() noexcept override { roto_ = true; }
    bool roto() const override { return roto_ || conexion_.muerta; }

  private:
    enum class Paso { sesion, subsistema, abierto };
    // One step of the opening; false while the host has not answered it.
    bool da_paso();
    [[noreturn]] void pierde(const std::string &accion, const std::string &detalle);
    // Called by libssh whenever it takes a packet of this channel off the socket,
    // whichever call made it read: nothing is left in its buffers for a wait to miss.
    static int al_llegar(ssh_session, ssh_channel, void *datos, std::uint32_t largo, int error,
                         void *yo);
    static void al_terminar(ssh_session, ssh_channel, void *yo);

    ConexionSsh &conexion_;
    std::uint64_t &llegadas_;
    ssh_channel canal_ = nullptr;
    ssh_channel_callbacks_struct avisos_{};
    Paso paso_ = Paso::sesion;
    bool roto_ = false;
    bool terminado_ = false;   // the host sent its EOF or closed the channel
    bool eof_enviado_ = false; // termina() sent ours
    // Where al_llegar() puts what comes: the channel's packets, from the first
    // recibe() on; before, a buffer of its own.
    sftp::Ensamblador *entrada_ = nullptr;
    std::string antes_;
    std::uint64_t llegado_ = 0; // bytes put there since the last recibe()
    // Bytes taken since the window was last grown (see recibe()): the first read grows it.
    std::uint64_t desde_ventana_ = UINT64_MAX / 2;
};

class RedSsh final : public Red {
  public:
    explicit RedSsh(ConexionSsh &conexion) : conexion_(conexion) {}
    // The channel the connection starts with, waited for.
    std::unique_ptr<Transporte> primer_canal();

    std::unique_ptr<Transporte> otro_canal() override;
    bool espera(std::chrono::milliseconds paciencia, const std::string &accion) override;
    void rompe() noexcept override { conexion_.muerta = true; }
    bool muerta() const override { return conexion_.muerta; }
    const std::string &host() const override { return conexion_.host; }
    std::chrono::milliseconds plazo() const override { return conexion_.plazo; }
    Reloj::time_point ahora() const override { return Reloj::now(); }

  private:
    ConexionSsh &conexion_;
    // What came on any channel, and how much of it the last wait knew of.
    std::uint64_t llegadas_ = 0;
    std::uint64_t vistas_ = 0;
    // The session joins it only for each wait: libssh's own calls between waits
    // poll the session's socket by themselves.
    std::unique_ptr<ssh_event_struct, decltype(&ssh_event_free)> evento_{nullptr, ssh_event_free};
};

} // namespace sockvor
