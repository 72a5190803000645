// The SSH connection as the SFTP layer sees it: channels on the "sftp"
// subsystem (CanalSsh), opened in the background while others work, and the
// one wait for all of them (RedSsh).
#pragma once

#include "ssh.h"
#include "transporte.h"

namespace sockvor {

class CanalSsh final : public Transporte {
  public:
    // Asks for a session channel and its "sftp" subsystem; with `espera`, waits
    // until both are granted (and throws when they are not), otherwise leaves
    // that to abierto().
    CanalSsh(ConexionSsh &conexion, bool espera);
    CanalSsh(const CanalSsh &) = delete;
    CanalSsh &operator=(const CanalSsh &) = delete;
    ~CanalSsh() override { cierra({}); }

    bool abierto() override;
    void envia(std::string_view bytes, const std::string &accion) override;
    std::size_t recibe(char *destino, std::size_t maximo, const std::string &accion) override;
    // Our EOF, the host's close read, then ours; all within the connection's timeout.
    void cierra(std::string_view ultimo) noexcept override;
    void rompe() noexcept override { roto_ = true; }
    bool roto() const override { return roto_ || conexion_.muerta; }

  private:
    enum class Paso { sesion, subsistema, abierto };
    // One step of the opening; false while the host has not answered it.
    bool da_paso();
    [[noreturn]] void pierde(const std::string &accion, const std::string &detalle);

    ConexionSsh &conexion_;
    ssh_channel canal_ = nullptr;
    Paso paso_ = Paso::sesion;
    bool roto_ = false;
    // Bytes read since the window was last grown (see recibe()).
    std::uint64_t desde_ventana_ = 0;
};

class RedSsh final : public Red {
  public:
    explicit RedSsh(ConexionSsh &conexion) : conexion_(conexion) {}

    std::unique_ptr<Transporte> otro_canal() override;
    bool espera(std::chrono::milliseconds paciencia, const std::string &accion) override;
    void rompe() noexcept override { conexion_.muerta = true; }
    bool muerta() const override { return conexion_.muerta; }
    const std::string &host() const override { return conexion_.host; }
    std::chrono::milliseconds plazo() const override { return conexion_.plazo; }
    Reloj::time_point ahora() const override { return Reloj::now(); }

  private:
    ConexionSsh &conexion_;
    // The session joins it only for each wait: libssh's own calls between waits
    // poll the session's socket by themselves.
    std::unique_ptr<ssh_event_struct, decltype(&ssh_event_free)> evento_{nullptr, ssh_event_free};
};

} // namespace sockvor
