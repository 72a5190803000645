// SFTP requests in flight on one channel (transporte.h). Any number of
// requests may be outstanding; each carries its own id, and the host's replies,
// in whatever order they come, go to the handler given with the request.
// Nothing here waits: the channels of a connection are driven together, by one
// thread, in canales.h.
#pragma once

#include "errores.h"
#include "sftp/mensajes.h"
#include "sftp/paquetes.h"
#include "sftp/transporte.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace sockvor {

using Atencion = std::function<void(sftp::Respuesta &)>;

// The cause of a failed request as it follows "...: " in a message: the code in
// Spanish and the host's own words, kept to one line.
std::string explica(const sftp::Estado &e);

// What every file in flight on one channel shares: open handles on the host
// and bytes asked for and not yet answered. A Windows host's server process
// has 256 file slots in all: a channel keeps well under that.
struct Presupuesto {
    static constexpr std::size_t handles_maximo = 96;
    static constexpr std::uint64_t bytes_maximo = 4u << 20;
    std::size_t handles = 0;
    std::uint64_t bytes = 0;
    bool con_espacio() const { return handles < handles_maximo && bytes < bytes_maximo; }
};

class CanalSftp {
  public:
    // Agrees on version 3 over `transporte`, a channel of `red`, which it owns
    // from then on, once the transport is open.
    CanalSftp(std::unique_ptr<Transporte> transporte, const Red &red);
    CanalSftp(const CanalSftp &) = delete;
    CanalSftp &operator=(const CanalSftp &) = delete;
    // Waits for the stream's end (see termina()).
    ~CanalSftp();
    // Sends what is still queued (closes nobody waited for) and our end of the stream.
    void termina() noexcept;

    // Queues a request built by `construye(id)`; `atencion` gets its reply.
    template <class Construye> std::uint32_t pide(Construye &&construye, Atencion atencion) {
        std::uint32_t id = siguiente_id_++;
        if (roto()) {
            // Nothing goes on a lost channel; the request is answered as those
            // it carried were, in the next step (see tardios()).
            tardios_.emplace_back(id, std::move(atencion));
            return id;
        }
        std::string pedido = construye(id);
        bool apertura = sftp::tipo_de_pedido(pedido) == sftp::OPEN;
        salida_ += pedido;
        esperando_.emplace(id, Espera{std::move(atencion), red_.ahora(), apertura});
        return id;
    }

    // Carries requests: the transport is open and the host agreed on the version.
    bool listo() const { return version_ && !roto(); }
    bool roto() const { return perdido_ || transporte_->roto(); }
    // Requests awaiting their reply; the version's counts while it is awaited.
    std::size_t en_vuelo() const {
        return roto() ? tardios_.size() : esperando_.size() + (version_ ? 0 : 1);
    }
    // Requests asked of the channel once it was lost, still to be answered.
    bool tardios() const { return !tardios_.empty(); }
    const std::string &host() const { return red_.host(); }
    Presupuesto &presupuesto() { return presupuesto_; }
    // The quickest any request took from being asked to its reply: the link's
    // round trip and little more, once a few have been answered.
    std::optional<Red::Reloj::duration> ida_y_vuelta() const { return ida_y_vuelta_; }
    // What the host took over each of the first files opened here, counted from
    // the open's request or the reply before it, whichever came later: the
    // server process's time on the open, since it serves one request after
    // another, and little more. Replies read together count once, on the first.
    static constexpr std::size_t aperturas_medidas = 8;
    const std::vector<Red::Reloj::duration> &aperturas() const { return aperturas_; }

    // The steps canales.h drives, each without waiting for the host. They throw
    // the stream's failures naming `accion`, which reads like "leer /D:/x".
    // Sends what is queued (the version's request first, once the transport opens).
    void vacia(const std::string &accion);
    // Reads what has come; the bytes read.
    std::size_t lee(const std::string &accion);
    // Hands each complete reply to its handler.
    void despacha(const std::string &accion);

    // The stream failed: every request in flight is answered, as the protocol
    // lets a client say for itself, with "connection lost" and `causa`, and
    // nothing more goes on it.
    void pierde(const std::string &causa);
    // Answers alike what was asked of the lost channel since. Not at once, in
    // pide(): the asker may be halfway through a change of its own state. A
    // handler that asks again is answered in the step after.
    void responde_tardios();

  private:
    [[noreturn]] void falla_protocolo(const std::string &motivo, const std::string &accion);

    struct Espera {
        Atencion atencion;
        Red::Reloj::time_point desde;
        bool apertura;
    };

    std::unique_ptr<Transporte> transporte_;
    const Red &red_;
    bool version_ = false;
    bool perdido_ = false;
    std::uint32_t siguiente_id_ = 1;
    std::unordered_map<std::uint32_t, Espera> esperando_;
    std::vector<std::pair<std::uint32_t, Atencion>> tardios_;
    std::string causa_; // why the channel was lost
    std::optional<Red::Reloj::duration> ida_y_vuelta_;
    std::optional<Red::Reloj::time_point> ultima_respuesta_;
    std::vector<Red::Reloj::duration> aperturas_;
    std::string salida_;
    sftp::Ensamblador entrada_;
    Presupuesto presupuesto_;
};

} // namespace sockvor
