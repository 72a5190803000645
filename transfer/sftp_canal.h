// SFTP requests in flight on one stream (transporte.h). Any number of requests
// may be outstanding; each carries its own id, and the host's replies, in
// whatever order they come, go to the handler given with the request. The
// calling thread drives the stream: replies are only read, and handlers only
// run, inside atiende().
#pragma once

#include "errores.h"
#include "sftp_mensajes.h"
#include "sftp_paquetes.h"
#include "transporte.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace sockvor {

using Atencion = std::function<void(sftp::Respuesta &)>;

// The cause of a failed request as it follows "...: " in a message: the code in
// Spanish and the host's own words, kept to one line.
std::string explica(const sftp::Estado &e);

// A host that sends fewer than `minimo_bytes` in `ventana` while an answer is
// awaited is failed like a silent one: a trickle is never silence, so the
// watchdog alone would let it run for hours.
struct ReglaDeProgreso {
    std::chrono::milliseconds ventana;
    std::uint64_t minimo_bytes;
};

// 1 KiB/s over twice the connection's timeout: 60 s when none is configured.
ReglaDeProgreso regla_de_progreso(std::chrono::milliseconds plazo);

class CanalSftp {
  public:
    // Agrees on version 3 over `transporte`, which it owns from then on.
    explicit CanalSftp(std::unique_ptr<Transporte> transporte);
    CanalSftp(const CanalSftp &) = delete;
    CanalSftp &operator=(const CanalSftp &) = delete;
    // Sends what is still queued (closes nobody waited for) and ends the stream.
    ~CanalSftp();

    using Reloj = Transporte::Reloj;

    // Queues a request built by `construye(id)`; `atencion` gets its reply.
    template <class Construye> std::uint32_t pide(Construye &&construye, Atencion atencion) {
        std::uint32_t id = siguiente_id_++;
        salida_ += construye(id);
        if (esperando_.empty()) {
            callado_desde_ = ahora(); // the host's silence counts from here
        }
        esperando_.emplace(id, std::move(atencion));
        return id;
    }

    // Sends what is queued and handles replies until `listo()` holds, or `hasta`
    // passes: for a caller that has something else to do then, which may be
    // nothing but to wait. Throws the stream's failures (a host silent for the
    // timeout, a drop, a host breaking the protocol or too slow) naming
    // `accion`, which reads like "leer /D:/x".
    void atiende(const std::function<bool()> &listo, const std::string &accion,
                 std::optional<Reloj::time_point> hasta = std::nullopt);

    std::size_t en_vuelo() const { return esperando_.size(); }
    bool roto() const { return transporte_->roto(); }
    const std::string &host() const { return transporte_->host(); }
    std::chrono::milliseconds plazo() const { return transporte_->plazo(); }
    Reloj::time_point ahora() const { return transporte_->ahora(); }

  private:
    void atiende_sin_resguardo(const std::function<bool()> &listo, const std::string &accion,
                               std::optional<Reloj::time_point> hasta);
    void vacia(const std::string &accion);
    // False when `paciencia` ran out with nothing read.
    bool lee(const std::string &accion, std::chrono::milliseconds paciencia);
    void despacha(const std::string &accion);
    [[noreturn]] void falla_protocolo(const std::string &motivo, const std::string &accion);

    std::unique_ptr<Transporte> transporte_;
    ReglaDeProgreso regla_;
    std::uint32_t siguiente_id_ = 1;
    std::unordered_map<std::uint32_t, Atencion> esperando_;
    std::string salida_;
    sftp::Ensamblador entrada_;
    std::uint64_t recibidos_ = 0;
    // Since when requests have been in flight with nothing from the host. Waits
    // cut short by `hasta` do not reach the watchdog's bound, so this one does.
    Reloj::time_point callado_desde_{};
};

} // namespace sockvor
