// A host played inside the process, under the SFTP request layer: it parses the
// library's requests and answers them as a fuzzer's bytes decide, in any order,
// with short reads, early ends, failures, malformed or unasked-for replies, a
// dropped or silent stream, and its files rewritten, grown or cut between any
// two requests. It keeps every version each file ever had, and what it did to
// which file, so a test can tell a copy that no version ever held, or a failure
// told for a file that did nothing wrong.
#pragma once

#include "conexion.h"
#include "sftp/mensajes.h"
#include "sftp/transporte.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sockvor::simulacion {

// The fuzzer's bytes, read as decisions; once they run out every decision is 0,
// which is always the well-behaved choice.
class Decisiones {
  public:
    Decisiones(const std::uint8_t *datos, std::size_t largo) : datos_(datos), largo_(largo) {}
    std::uint8_t byte() { return usados_ < largo_ ? datos_[usados_++] : 0; }
    // A choice among `n` (n > 0); 0 once the bytes run out.
    std::size_t entre(std::size_t n) { return byte() % n; }

  private:
    const std::uint8_t *datos_;
    std::size_t largo_;
    std::size_t usados_ = 0;
};

// The bytes of version `version` of a file, made up: any two differ at every offset.
std::string contenido(const std::string &ruta, std::size_t version, std::size_t largo);

// A STATUS reply, as the host writes it.
std::string estado(std::uint32_t id, std::uint32_t codigo, std::string_view texto = "");
using Paquete = sftp::Escritor;

struct Version {
    std::string bytes;
    std::uint32_t mtime;
};

struct Archivo {
    std::vector<Version> versiones; // the last is what the host holds now
    const Version &actual() const { return versiones.back(); }
};

class Host {
  public:
    Host(Decisiones &decisiones, std::map<std::string, Archivo> archivos)
        : decide(decisiones), archivos(std::move(archivos)) {}

    Decisiones &decide;
    std::map<std::string, Archivo> archivos; // by SFTP path
    // What happened, for whoever must make sense of a failed check.
    std::vector<std::string> relato;
    // Answers that did something wrong to a file (a failure, an early end, a
    // malformed reply, a stat that lies) and changes of its content, by path.
    std::map<std::string, int> tropiezos;
    // Faults of a whole stream (a drop, silence, a reply nobody asked for).
    int caidas = 0;
    Red::Reloj::time_point reloj{std::chrono::hours(1)};
    // When the library last got bytes from the host, on any channel.
    Red::Reloj::time_point ultima_entrega = reloj;
    std::uint64_t pasos = 0;
    int sesiones = 0;
    std::size_t canales_maximos = 1; // channels a connection grants at once

    // Now and then, between two requests, a file becomes another version.
    void quiza_cambia();
    void anota(std::string suceso) { relato.push_back(std::move(suceso)); }
    void tropieza(const std::string &ruta, const std::string &como) {
        ++tropiezos[ruta];
        anota("  " + como + " a " + ruta);
    }
    // A check failed: tells the story, then ends the process as a fuzzer expects.
    [[noreturn]] void aborta(const char *que) const;
};

// Aborts (telling `host`'s story) unless `condicion` holds.
inline void exige(const Host &host, bool condicion, const char *que) {
    if (!condicion) {
        host.aborta(que);
    }
}

class Conexion;

// One SFTP channel of the played host.
class Canal final : public Transporte {
  public:
    // The `numero`-th channel of its connection, from 1.
    Canal(Host &host, Conexion &conexion, bool rechazado, std::size_t numero);

    bool abierto() override;
    void envia(std::string_view bytes, const std::string &accion) override;
    std::size_t recibe(sftp::Ensamblador &entrada, const std::string &accion) override;
    void termina(std::string_view) noexcept override {}
    void cierra() noexcept override { roto_ = true; }
    void rompe() noexcept override { roto_ = true; }
    bool roto() const override;

    // The host's side: requests waiting for it, or replies made and not sent.
    bool ocupado() const { return !roto_ && (!por_atender_.empty() || !atendidos_.empty()); }
    // Its server process hangs: it answers nothing more, the channel still open.
    bool atascado() const { return atascado_; }
    // Handles what has come and sends one reply, as the fuzzer's bytes choose.
    // False when the host chose silence instead.
    bool trabaja(const std::string &accion, std::chrono::milliseconds paciencia);

  private:
    struct Pedido {
        std::uint8_t tipo;
        std::uint32_t id;
        std::string ruta;   // OPEN
        std::string handle; // READ, FSTAT, CLOSE
        std::uint64_t desde = 0;
        std::uint32_t largo = 0;
    };
    void atiende(const Pedido &p);
    std::string responde_lectura(const Pedido &p, const std::string &ruta);
    std::string responde_medida(const Pedido &p, const std::string &ruta);
    [[noreturn]] void cae(const std::string &accion, const char *por_que);
    // One of the replies made goes on its way.
    void suelta_una();

    Host &host_;
    Conexion &conexion_;
    bool rechazado_; // over the host's limit of channels
    std::size_t numero_;
    int por_abrir_; // steps before the host grants it
    bool roto_ = false;
    bool cerrado_ = false; // closed by the host, the connection alive
    bool atascado_ = false;
    std::string entrada_;                // bytes of requests not yet framed
    std::deque<Pedido> por_atender_;     // in the order they came
    std::vector<std::string> atendidos_; // replies made, not yet sent
    std::string salida_;                 // bytes on their way to the library
    std::map<std::string, std::string> handles_;
    int siguiente_handle_ = 0;
};

// The played host's connection: opens its channels, and does the host's work
// when the library waits.
class Conexion final : public Red {
  public:
    explicit Conexion(Host &host) : host_(host) { ++host_.sesiones; }

    std::unique_ptr<Transporte> otro_canal() override;
    bool espera(std::chrono::milliseconds paciencia, const std::string &accion) override;
    void rompe() noexcept override { muerta_ = true; }
    bool muerta() const override { return muerta_; }
    const std::string &host() const override { return nombre_; }
    std::chrono::milliseconds plazo() const override { return std::chrono::seconds(30); }
    Reloj::time_point ahora() const override { return host_.reloj; }

  private:
    Host &host_;
    std::string nombre_ = "simulado";
    bool muerta_ = false;
    // Owned by the library's channels, which outlive every wait on this connection.
    std::vector<Canal *> canales_;
};

// The session the library opens on the played host.
class Sesion final : public sockvor::Sesion {
  public:
    explicit Sesion(Host &host) : conexion_(host), canales_(conexion_, conexion_.otro_canal()) {}
    Canales &canales() override { return canales_; }
    bool muerta() const override { return conexion_.muerta() || canales_.rotos(); }

  private:
    Conexion conexion_;
    Canales canales_;
};

} // namespace sockvor::simulacion
