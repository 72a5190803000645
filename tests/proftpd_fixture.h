// A second, unrelated SFTP server on loopback: ProFTPD with mod_sftp, key-only,
// never run as root (as the invoking user, or as nobody when that is root), with
// the served root laid out like D:\IDE\<login>\Acuses through mod_vroot; and the
// SSH home that trusts it. Its own SFTP log tells how each session ended.
#pragma once

#include "proceso.h"

#include <string>
#include <sys/types.h>

class HostProftpd {
  public:
    // `tipo_llave` is the client key's type as ssh-keygen names it ("rsa",
    // "ed25519"); the home holds that one key, authorised for the login.
    HostProftpd(const std::string &login, const std::string &tipo_llave);
    ~HostProftpd();
    HostProftpd(const HostProftpd &) = delete;
    HostProftpd &operator=(const HostProftpd &) = delete;

    int puerto() const { return puerto_; }
    std::string direccion() const { return "127.0.0.1:" + std::to_string(puerto_); }
    const std::string &home() const { return home_; }
    const std::string &deposito() const { return deposito_; }
    std::string ruta_local_remota(const std::string &nombre) const;
    void crea_remoto(const std::string &nombre, const std::string &contenido) const;
    // mod_sftp's log: one line per event, each session's end among them.
    std::string registro() const;

  private:
    CarpetaTemporal base_;
    std::string login_, home_, raiz_, deposito_;
    int puerto_ = 0;
    pid_t hijo_ = -1;
};
