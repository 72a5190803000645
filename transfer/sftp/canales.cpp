#include "sftp/canales.h"

#include "sockvor.h"

#include <algorithm>
#include <cstdlib>

namespace sockvor {

ReglaDeProgreso regla_de_progreso(std::chrono::milliseconds plazo) {
    auto ventana = 2 * plazo;
    auto segundos = std::chrono::duration_cast<std::chrono::seconds>(ventana).count();
    return {ventana, static_cast<std::uint64_t>(std::max<long long>(segundos, 1)) * 1024};
}

namespace {

// A threshold in milliseconds from the environment, if it sets one: the tests
// set them so that the hosts they play, far or near, slow or quick, stay well
// clear of them however busy the machine is.
std::chrono::milliseconds umbral(const char *variable, std::chrono::milliseconds normal) {
    const char *texto = std::getenv(variable);
    if (!texto || !*texto) {
        return normal;
    }
    char *fin = nullptr;
    long ms = std::strtol(texto, &fin, 10);
    return *fin == '\0' && ms > 0 && ms <= 60000 ? std::chrono::milliseconds(ms) : normal;
}

} // namespace

Canales::Canales(Red &red, std::unique_ptr<Transporte> primero)
    : red_(red), regla_(regla_de_progreso(red.plazo())),
      lejana_(umbral("SOCKVOR_LEJOS_MS", ida_y_vuelta_lejana)),
      apertura_lenta_(umbral("SOCKVOR_APERTURA_LENTA_MS", apertura_lenta)) {
    canales_.push_back(std::make_unique<CanalSftp>(std::move(primero), red_));
    const auto &c = *canales_.front();
    atiende([&] { return c.listo(); }, "iniciar el subsistema SFTP");
}

Canales::~Canales() {
    for (auto &c : canales_) {
        c->termina();
    }
}

void Canales::quiere(std::size_t n) {
    quiere_ = std::max(quiere_, std::min(n, maximo));
    abre_los_que_faltan();
}

void Canales::quiere_para_archivos(std::size_t n) {
    para_archivos_ = std::max(para_archivos_, std::min(n, maximo));
    abre_los_que_faltan();
}

void Canales::juzga() {
    if (lento_ || para_archivos_ <= quiere_) {
        return;
    }
    std::vector<Reloj::duration> tiempos;
    for (const auto &c : canales_) {
        tiempos.insert(tiempos.end(), c->aperturas().begin(), c->aperturas().end());
    }
    if (tiempos.size() < CanalSftp::aperturas_medidas) {
        return;
    }
    // The median: a stall of this end, or a file the host had at hand, moves it little.
    auto medio = tiempos.begin() + static_cast<std::ptrdiff_t>(tiempos.size() / 2);
    std::nth_element(tiempos.begin(), medio, tiempos.end());
    lento_ = *medio >= apertura_lenta_;
}

CanalSftp *Canales::elige(const std::vector<const CanalSftp *> &salvo) {
    // While channels are still opening, those open take half their budget: a far
    // link's first round trips stay full, and a host slow to open files has
    // others left for the channels to come.
    bool abriendo = std::any_of(canales_.begin(), canales_.end(),
                                [](const auto &c) { return !c->roto() && !c->listo(); });
    std::size_t tope = Presupuesto::handles_maximo / (abriendo ? 2 : 1);
    // Until the host is judged, a few files: enough to judge it by, and few to
    // queue behind one server process if it is slow.
    if (juzgando()) {
        tope = 2 * CanalSftp::aperturas_medidas;
    }
    CanalSftp *mejor = nullptr;
    for (auto &c : canales_) {
        if (!c->listo() || !c->presupuesto().con_espacio() || c->presupuesto().handles >= tope ||
            std::find(salvo.begin(), salvo.end(), c.get()) != salvo.end()) {
            continue;
        }
        if (!mejor || c->presupuesto().handles < mejor->presupuesto().handles) {
            mejor = c.get();
        }
    }
    return mejor;
}

CanalSftp &Canales::alguno() {
    for (auto &c : canales_) {
        if (c->listo()) {
            return *c;
        }
    }
    falla(SOCKVOR_E_CONEXION_PERDIDA,
          "Se perdió la conexión con el host " + host() + ": cerró todos sus canales SFTP");
}

std::size_t Canales::listos() const {
    return static_cast<std::size_t>(
        std::count_if(canales_.begin(), canales_.end(), [](const auto &c) { return c->listo(); }));
}

std::size_t Canales::en_vuelo() const {
    std::size_t n = 0;
    for (const auto &c : canales_) {
        n += c->en_vuelo();
    }
    return n;
}

bool Canales::lejos() const {
    std::optional<Reloj::duration> menor;
    for (const auto &c : canales_) {
        if (auto t = c->ida_y_vuelta()) {
            menor = std::min(menor.value_or(*t), *t);
        }
    }
    return menor && *menor >= lejana_;
}

bool Canales::rotos() const {
    return red_.muerta() ||
           std::all_of(canales_.begin(), canales_.end(), [](const auto &c) { return c->roto(); });
}

template <class Paso> void Canales::en_cada(Paso &&paso) {
    // By index, and each channel by its own address: a step may ask for more
    // channels (a file found large), which grows the vector under it.
    for (std::size_t i = 0; i < canales_.size(); ++i) {
        CanalSftp *c = canales_[i].get();
        if (c->roto()) {
            c->responde_tardios();
            continue;
        }
        try {
            paso(*c);
        } catch (const Fallo &f) {
            bool otro = std::any_of(canales_.begin(), canales_.end(),
                                    [&](const auto &o) { return o.get() != c && o->listo(); });
            if (red_.muerta() || !otro) {
                throw;
            }
            if (!c->listo()) {
                sin_mas_ = true; // refused while opening: the host is at its limit
            }
            c->pierde(f.texto);
        }
    }
}

void Canales::abre_los_que_faltan() {
    juzga();
    if (para_archivos_ > quiere_ && (lejos() || lento_.value_or(false))) {
        quiere_ = para_archivos_;
    }
    auto vivos = static_cast<std::size_t>(
        std::count_if(canales_.begin(), canales_.end(), [](const auto &c) { return !c->roto(); }));
    // Channels the host closed are not replaced without end.
    while (!sin_mas_ && vivos < quiere_ && canales_.size() < 2 * maximo) {
        auto t = red_.otro_canal();
        if (!t) {
            sin_mas_ = true;
            return;
        }
        canales_.push_back(std::make_unique<CanalSftp>(std::move(t), red_));
        ++vivos;
    }
}

void Canales::atiende(const std::function<bool()> &listo, const std::string &accion,
                      std::optional<Reloj::time_point> hasta) {
    try {
        atiende_sin_resguardo(listo, accion, hasta);
    } catch (...) {
        // Handlers of replies still due may point at the waiter's state, gone now:
        // nothing on this connection is used again.
        red_.rompe();
        throw;
    }
}

void Canales::atiende_sin_resguardo(const std::function<bool()> &listo, const std::string &accion,
                                    std::optional<Reloj::time_point> hasta) {
    if (ocioso_) {
        reanuda(ahora());
    }
    for (;;) {
        en_cada([&](CanalSftp &c) { c.despacha(accion); });
        if (listo()) {
            en_cada([&](CanalSftp &c) { c.vacia(accion); });
            ocioso_ = en_vuelo() == 0;
            return;
        }
        abre_los_que_faltan();
        en_cada([&](CanalSftp &c) { c.vacia(accion); });
        auto momento = ahora();
        if (hasta && momento >= *hasta) {
            ocioso_ = en_vuelo() == 0;
            return;
        }
        if (en_vuelo() == 0) {
            if (!hasta) {
                falla(SOCKVOR_E_INTERNO, "La biblioteca de transferencia esperaba una respuesta "
                                         "que no pidió al " +
                                             accion);
            }
            // Idle is neither silence nor slowness.
            reanuda(momento);
        }
        std::size_t n = 0;
        en_cada([&](CanalSftp &c) { n += c.lee(accion); });
        if (n > 0) {
            cuenta_llegada(n, momento, accion);
            continue;
        }
        if (hay_tardios()) {
            continue; // answered in the next step, without a wait
        }
        // Short of the connection's bound, which must not cut a wait that is only a pause.
        auto paciencia = std::max(plazo() / 2, std::chrono::milliseconds(1));
        if (hasta) {
            paciencia = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*hasta - momento),
                                   std::chrono::milliseconds(1), paciencia);
        }
        if (!red_.espera(paciencia, accion) && en_vuelo() > 0 &&
            ahora() - callado_desde_ >= plazo()) {
            falla(SOCKVOR_E_TIEMPO,
                  "El host " + host() + " no respondió en " + segundos(plazo()) + " al " + accion);
        }
    }
}

void Canales::reanuda(Reloj::time_point momento) {
    callado_desde_ = momento;
    progreso_desde_ = momento;
    llegados_ = 0;
}

void Canales::cuenta_llegada(std::size_t n, Reloj::time_point momento, const std::string &accion) {
    llegados_ += n;
    callado_desde_ = momento;
    if (momento - progreso_desde_ < regla_.ventana) {
        return;
    }
    if (llegados_ < regla_.minimo_bytes) {
        falla(SOCKVOR_E_TIEMPO,
              "El host " + host() + " envió solo " + std::to_string(llegados_) + " bytes en " +
                  segundos(std::chrono::duration_cast<std::chrono::milliseconds>(momento -
                                                                                 progreso_desde_)) +
                  " al " + accion + ": demasiado lento, se abandona");
    }
    progreso_desde_ = momento;
    llegados_ = 0;
}

bool Canales::hay_tardios() const {
    return std::any_of(canales_.begin(), canales_.end(),
                       [](const auto &c) { return c->roto() && c->tardios(); });
}

} // namespace sockvor
