// An "sftp" subsystem channel of the SSH connection, as the byte stream the
// SFTP requests travel on. Every blocking libssh call runs under the watchdog.
#pragma once

#include "ssh.h"
#include "transporte.h"

namespace sockvor {

class CanalSsh final : public Transporte {
  public:
    // Opens a session channel on `conexion` and starts its "sftp" subsystem.
    explicit CanalSsh(ConexionSsh &conexion);
    CanalSsh(const CanalSsh &) = delete;
    CanalSsh &operator=(const CanalSsh &) = delete;
    ~CanalSsh() override { cierra({}); }

    void envia(std::string_view bytes, const std::string &accion) override;
    std::size_t recibe(char *destino, std::size_t maximo, const std::string &accion,
                       std::chrono::milliseconds paciencia) override;
    // Our EOF, the host's close read, then ours; all within the connection's timeout.
    void cierra(std::string_view ultimo) noexcept override;
    void rompe() noexcept override { conexion_.muerta = true; }
    bool roto() const override { return conexion_.muerta; }

    const std::string &host() const override { return conexion_.host; }
    std::chrono::milliseconds plazo() const override { return conexion_.plazo; }
    Reloj::time_point ahora() const override { return Reloj::now(); }

  private:
    ConexionSsh &conexion_;
    ssh_channel canal_ = nullptr;
};

} // namespace sockvor
