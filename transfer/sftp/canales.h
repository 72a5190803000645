// The SFTP channels of one connection, driven together by the one thread that
// calls into the library. Each channel is an "sftp" subsystem of its own: on
// the host, a server process of its own, so a host slow to open files serves
// several at once, and each channel has a flow-control window of its own, so a
// far link carries several windows' worth. More channels are asked for only
// when the work pays for them, and opened while the others work; a host that
// refuses one is served by those it granted.
#pragma once

#include "sftp/canal.h"
#include "sftp/transporte.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sockvor {

// A host that sends fewer than `minimo_bytes` in `ventana` while an answer is
// awaited is failed like a silent one: a trickle is never silence, so the
// bound on silence alone would let it run for hours.
struct ReglaDeProgreso {
    std::chrono::milliseconds ventana;
    std::uint64_t minimo_bytes;
};

// 1 KiB/s over twice the connection's timeout: 60 s when none is configured.
ReglaDeProgreso regla_de_progreso(std::chrono::milliseconds plazo);

class Canales {
  public:
    using Reloj = Red::Reloj;

    // Channels on the connection `red`, starting with `primero`, which is
    // waited for until it carries requests.
    Canales(Red &red, std::unique_ptr<Transporte> primero);
    Canales(const Canales &) = delete;
    Canales &operator=(const Canales &) = delete;
    // Every channel sends its end before any waits for the host's: they end
    // together, in one round trip.
    ~Canales();

    // Up to `n` channels in all: those missing are asked for, and opened while
    // the others work. Never more than `maximo`: well under the 10 sessions an
    // OpenSSH server grants a connection by default (MaxSessions).
    static constexpr std::size_t maximo = 6;
    void quiere(std::size_t n);
    // Up to `n` channels for many files. Over a far link at once: there each
    // file's round trips are what a channel waits on. Close by, one channel
    // already keeps a quick host and this end busy, and more only share the
    // same processors; they are opened once the host proves slow to open files
    // (juzga), as a busy Windows host is, whose server process opens
    // one file after another.
    void quiere_para_archivos(std::size_t n);

    // A channel that carries requests and has room for one more open file: the
    // one with the fewest, or the first among equals. Nothing when all are full.
    CanalSftp *elige(const std::vector<const CanalSftp *> &salvo = {});
    // Some channel that carries requests, for what needs only one (a listing).
    CanalSftp &alguno();
    std::size_t listos() const;

    // Sends what is queued and handles replies on every channel until
    // `listo()` holds, or `hasta` passes: for a caller that has something else to
    // do then, which may be nothing but to wait. A channel the host closes fails
    // only the requests it carried (see CanalSftp::pierde); the connection's
    // failures (a host silent for the timeout, a drop, too slow) are thrown,
    // naming `accion`, which reads like "leer /D:/x".
    void atiende(const std::function<bool()> &listo, const std::string &accion,
                 std::optional<Reloj::time_point> hasta = std::nullopt);

    std::size_t en_vuelo() const;
    // A link far enough that one channel's flow-control window, not the
    // machines, limits a big file: several channels then carry it faster. Close
    // by, one channel already keeps both ends busy, and more only share the same
    // processors among more server processes. Unknown until a request has been
    // answered: close by meanwhile.
    bool lejos() const;
    // 4 MiB of window a channel over 4 ms is 1 GiB/s, more than either end
    // encrypts on one core.
    static constexpr std::chrono::milliseconds ida_y_vuelta_lejana{4};
    // Nothing more can go on these channels: the connection failed, or the host
    // closed every one of them.
    bool rotos() const;
    const std::string &host() const { return red_.host(); }
    std::chrono::milliseconds plazo() const { return red_.plazo(); }
    Reloj::time_point ahora() const { return red_.ahora(); }

  private:
    void atiende_sin_resguardo(const std::function<bool()> &listo, const std::string &accion,
                               std::optional<Reloj::time_point> hasta);
    // The host's silence, and its progress, count from `momento` on.
    void reanuda(Reloj::time_point momento);
    // `n` bytes came: the host is not silent; fails it if it is too slow.
    void cuenta_llegada(std::size_t n, Reloj::time_point momento, const std::string &accion);
    bool hay_tardios() const;
    // Runs one step on a channel; a failure of the channel alone fails what it
    // carried and nothing else.
    template <class Paso> void en_cada(Paso &&paso);
    void abre_los_que_faltan();
    // Judges the host slow to open files (lento_) when its median open, over
    // the first files opened (CanalSftp::aperturas), took `apertura_lenta` or
    // more; not before that many were answered. This end spends about a tenth
    // of that on a small file, so a slower host is what bounds a run, and more
    // server processes help.
    void juzga();
    static constexpr std::chrono::milliseconds apertura_lenta{1};
    // Files are waiting on whether the host is slow to open them.
    bool juzgando() const { return para_archivos_ > quiere_ && !sin_mas_ && !lento_; }

    Red &red_;
    ReglaDeProgreso regla_;
    std::chrono::milliseconds lejana_;         // ida_y_vuelta_lejana, or the environment's
    std::chrono::milliseconds apertura_lenta_; // apertura_lenta, or the environment's
    // Never shrinks while the connection lives: what is in flight points at them.
    std::vector<std::unique_ptr<CanalSftp>> canales_;
    std::size_t quiere_ = 1;
    std::size_t para_archivos_ = 1; // asked for many files, until the host is judged
    std::optional<bool> lento_;     // juzga's verdict
    bool sin_mas_ = false;          // the host refused one: no more are asked for

    // The host's silence and progress are counted across waits, however a
    // caller slices its waiting (until a paused file's next try, a flush):
    // over a whole wait, each new wait would start the count again. Only
    // idleness, nothing in flight, starts them again.
    bool ocioso_ = true; // nothing was in flight when the last wait ended
    Reloj::time_point callado_desde_{};
    Reloj::time_point progreso_desde_{};
    std::uint64_t llegados_ = 0;
};

} // namespace sockvor
