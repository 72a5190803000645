// The byte streams SFTP runs over, and the connection they share. In
// production each stream is an "sftp" subsystem channel of the one SSH
// connection (canal_ssh.h); the request layer above neither knows nor cares,
// which is also what lets a host be played inside the process, replies,
// faults, clock and all.
#pragma once

#include "sftp/paquetes.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace sockvor {

// One channel's stream. Nothing here waits for the host: the connection does
// (Red::espera), for all its channels at once.
class Transporte {
  public:
    virtual ~Transporte() = default;

    // Moves a channel still being opened on, without waiting: true once it
    // carries data. Throws when the host refused it.
    virtual bool abierto() = 0;
    // Sends `bytes` whole, or throws the stream's failure naming `accion`, which
    // reads like "leer /D:/x".
    virtual void envia(std::string_view bytes, const std::string &accion) = 0;
    // Appends to `entrada` what has come for this channel, and says how many
    // bytes: 0 when nothing has. From the first call on, the transport may append
    // to it whenever data comes, without a copy of its own in between; the
    // caller keeps no packet of it across a call into the transport. A stream
    // that ended or broke throws.
    virtual std::size_t recibe(sftp::Ensamblador &entrada, const std::string &accion) = 0;
    // Ends the stream in order, in two steps so that the channels of a
    // connection end together: termina() sends `ultimo` and our end; cierra()
    // waits for the host's. Neither throws: whatever fails here, the stream is over.
    virtual void termina(std::string_view ultimo) noexcept = 0;
    virtual void cierra() noexcept = 0;
    // After a fault nothing more is sent or read: the stream cannot be trusted.
    virtual void rompe() noexcept = 0;
    virtual bool roto() const = 0;
};

// The connection: what opens channels, and what one thread waits on for all of them.
class Red {
  public:
    using Reloj = std::chrono::steady_clock;

    virtual ~Red() = default;

    // Asks the host for one more channel, opened in the background (see
    // Transporte::abierto), or nothing when no more can be asked for.
    virtual std::unique_ptr<Transporte> otro_canal() = 0;
    // Waits until something comes for any channel, or `paciencia` passes; false
    // then. Throws the connection's failure.
    virtual bool espera(std::chrono::milliseconds paciencia, const std::string &accion) = 0;
    // After a fault nothing more is used on the connection.
    virtual void rompe() noexcept = 0;
    // The connection failed: nothing on it is used again.
    virtual bool muerta() const = 0;

    // The host's address as the caller gave it, for messages.
    virtual const std::string &host() const = 0;
    // The bound on a silent host: ConnectTimeout, or 30 s.
    virtual std::chrono::milliseconds plazo() const = 0;
    // The clock that measures waits and pauses.
    virtual Reloj::time_point ahora() const = 0;
};

} // namespace sockvor
