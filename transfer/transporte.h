// The byte stream an SFTP session runs over. Its one production form is an
// "sftp" subsystem channel of the SSH connection (canal_ssh.h); the request
// layer above it neither knows nor cares, which is also what lets a host be
// played inside the process, replies, faults, clock and all.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace sockvor {

class Transporte {
  public:
    using Reloj = std::chrono::steady_clock;

    virtual ~Transporte() = default;

    // Sends `bytes` whole, or throws the stream's failure naming `accion`, which
    // reads like "leer /D:/x".
    virtual void envia(std::string_view bytes, const std::string &accion) = 0;
    // Reads into `destino` what has come, at most `maximo` bytes. With a
    // `paciencia`, waits that long at most and returns 0 when nothing came;
    // without one, waits up to the stream's own bound, whose end is a timeout
    // failure. A stream that ended or broke throws.
    virtual std::size_t recibe(char *destino, std::size_t maximo, const std::string &accion,
                               std::chrono::milliseconds paciencia) = 0;
    // Ends the stream in order, after sending `ultimo`. Never throws: whatever
    // fails here, the stream is over.
    virtual void cierra(std::string_view ultimo) noexcept = 0;
    // After a fault nothing more is sent or read: the stream cannot be trusted.
    virtual void rompe() noexcept = 0;
    virtual bool roto() const = 0;

    // The host's address as the caller gave it, for messages.
    virtual const std::string &host() const = 0;
    // The bound on each wait: ConnectTimeout, or 30 s.
    virtual std::chrono::milliseconds plazo() const = 0;
    // The clock that measures the stream's waits and pauses.
    virtual Reloj::time_point ahora() const = 0;
};

} // namespace sockvor
