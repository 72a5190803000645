// How a download fails, or pauses to try again.
#include "descargas/descarga.h"

#include "sockvor.h"

#include <algorithm>

namespace sockvor {

void Descarga::tropieza(Fallo f, bool cambiando) {
    auto ahora = canales_.ahora();
    const auto cota = canales_.plazo();
    if (!primer_tropiezo_) {
        primer_tropiezo_ = ahora;
    }
    auto tanto = std::chrono::duration_cast<std::chrono::milliseconds>(ahora - *primer_tropiezo_);
    if (tanto >= cota) {
        agoto_ = true;
        if (cambiando) {
            falla_con(f.codigo, "El archivo " + ruta_ + " del host " + canales_.host() +
                                    " cambió mientras se leía una y otra vez durante " +
                                    segundos(tanto) +
                                    ": puede que otro programa del host lo esté escribiendo; "
                                    "vuelva a intentarlo");
        } else {
            falla_con(f.codigo, f.texto + "; lo rechazó durante " + segundos(tanto) +
                                    ": puede que otro programa del host lo tenga abierto");
        }
        return;
    }
    suelta_aperturas();
    fase_ = Fase::en_pausa;
    reintento_ = std::min(ahora + pausa_, *primer_tropiezo_ + cota);
    pausa_ *= 2;
    // What the listing said may no longer hold: the next open measures the file.
    listada_ = {};
}

void Descarga::en_su_turno() {
    if (!primer_tropiezo_ || !viva()) {
        return;
    }
    auto ahora = canales_.ahora();
    primer_tropiezo_ = ahora;
    pausa_ = pausa_inicial;
    if (fase_ == Fase::en_pausa) {
        reintento_ = ahora;
    }
}

std::optional<Descarga::Reloj::time_point> Descarga::reintento() const {
    if (fase_ != Fase::en_pausa) {
        return std::nullopt;
    }
    return reintento_;
}

bool Descarga::estancada(Reloj::duration cuanto) const {
    return viva() && espera_respuesta() && canales_.ahora() - ultima_noticia_ >= cuanto;
}

bool Descarga::espera_respuesta() const {
    return std::any_of(aperturas_.begin(), aperturas_.end(), [](const Ap &ap) {
        return ap->abriendo || ap->midiendo || !ap->pedidas.empty();
    });
}

void Descarga::anota_pedido() {
    if (!espera_respuesta()) {
        ultima_noticia_ = canales_.ahora();
    }
}

void Descarga::cambio() {
    tropieza(Fallo{SOCKVOR_E_REMOTO, "El archivo " + ruta_ + " del host " + canales_.host() +
                                         " cambió mientras se leía; vuelva a intentarlo"},
             true);
}

void Descarga::respuesta_ajena(const char *pedido, const sftp::Respuesta &r) {
    if (auto *i = std::get_if<sftp::Invalida>(&r.cuerpo)) {
        falla_con(SOCKVOR_E_SFTP, "El host " + canales_.host() + " rompió el protocolo SFTP al " +
                                      "responder a " + pedido + " de " + ruta_ + ": " + i->motivo);
        return;
    }
    falla_con(SOCKVOR_E_SFTP, "El host " + canales_.host() + " respondió a " + pedido + " de " +
                                  ruta_ + " con otra cosa");
}

void Descarga::falla_remota(const std::string &accion, const sftp::Estado &e) {
    Fallo f{SOCKVOR_E_REMOTO, "No se pudo " + accion + " " + ruta_ + " en el host " +
                                  canales_.host() + ": " + explica(e)};
    if (e.codigo == sftp::FX_CONNECTION_LOST) {
        // Said by the channel itself, which the host closed: only what it carried fails.
        falla_con(SOCKVOR_E_CONEXION_PERDIDA,
                  "Se perdió el canal SFTP por el que venía " + ruta_ + ": " + e.mensaje);
        return;
    }
    // The generic failure is what a Windows host answers for a file another
    // program holds: it may pass. "No such file" or "permission denied" do not.
    if (e.codigo == sftp::FX_FAILURE) {
        tropieza(std::move(f), false);
    } else {
        falla_con(f.codigo, std::move(f.texto));
    }
}

void Descarga::falla_local(Fallo f) {
    fallo_local_ = true;
    falla_con(f.codigo, std::move(f.texto));
}

void Descarga::falla_con(int codigo, std::string texto) {
    fallo_ = Fallo{codigo, std::move(texto)};
    fase_ = Fase::fallida;
    destino_.reset();
    suelta_aperturas();
}

void Descarga::abandona() noexcept {
    if (viva() || fase_ == Fase::lista) {
        fase_ = Fase::abandonada;
    }
    destino_.reset();
    try {
        suelta_aperturas();
    } catch (...) {
        // Out of memory while queueing a close: the host frees the handle with the channel.
    }
}

} // namespace sockvor
