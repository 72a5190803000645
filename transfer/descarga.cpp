#include "descarga.h"

#include "sockvor.h"

#include <algorithm>

namespace sockvor {

namespace {

// 32 KiB is the read size every SFTP server must honour.
constexpr std::uint32_t trozo = 32768;
// Reads outstanding for one file: 1 MiB, more than a fast link's window holds.
constexpr std::size_t lecturas_por_archivo = 32;
// A file found to be another than the one its copy started from is copied once
// more from the start; found changed again, it is still being written.
constexpr int reinicios_maximos = 1;

Medida medida_de(const sftp::Atributos &a) {
    return {a.tamano, a.mtime};
}

} // namespace

Descarga::Descarga(CanalSftp &canal, std::shared_ptr<Presupuesto> presupuesto, std::string ruta,
                   Medida listada, std::string clave, std::unique_ptr<Deposito> destino)
    : canal_(canal), presupuesto_(std::move(presupuesto)), ruta_(std::move(ruta)),
      listada_(listada), clave_(std::move(clave)), destino_(std::move(destino)) {}

// ---- Transitions --------------------------------------------------------------------

void Descarga::empieza() {
    fase_ = Fase::abriendo;
    ++presupuesto_->handles;
    canal_.pide([&](std::uint32_t id) { return sftp::pide_open(id, ruta_); },
                [yo = shared_from_this()](sftp::Respuesta &r) { yo->al_abrir(r); });
}

void Descarga::al_abrir(sftp::Respuesta &r) {
    if (auto *h = std::get_if<sftp::Handle>(&r.cuerpo)) {
        handle_ = std::move(h->valor);
        handle_abierto_ = true;
        if (!viva()) {
            cierra_handle();
        } else if (listada_.completa()) {
            lee_desde_cero(listada_);
        } else {
            fase_ = Fase::midiendo;
            canal_.pide([&](std::uint32_t id) { return sftp::pide_fstat(id, handle_); },
                        [yo = shared_from_this()](sftp::Respuesta &r) { yo->al_medir(r); });
        }
        return;
    }
    --presupuesto_->handles;
    if (!viva()) {
        return;
    }
    if (auto *e = std::get_if<sftp::Estado>(&r.cuerpo)) {
        falla_remota("abrir", *e);
    } else {
        respuesta_ajena("la apertura", r);
    }
}

void Descarga::al_medir(sftp::Respuesta &r) {
    if (!viva()) {
        cierra_handle(); // given up while this was asked: nothing else will
    } else if (auto *a = std::get_if<sftp::Atributos>(&r.cuerpo)) {
        lee_desde_cero(medida_de(*a));
    } else if (auto *e = std::get_if<sftp::Estado>(&r.cuerpo)) {
        falla_remota("consultar", *e);
    } else {
        respuesta_ajena("la consulta", r);
    }
}

// Nothing of this file is in flight when a copy starts, so no answer to an
// earlier copy can land in this one.
void Descarga::lee_desde_cero(Medida base) {
    if (recibido_ > 0 || maximo_ > 0) {
        try {
            destino_->vacia();
        } catch (Fallo &f) {
            falla_local(std::move(f));
            return;
        }
    }
    base_ = base;
    siguiente_ = 0;
    fin_.reset();
    excede_ = false;
    recibido_ = 0;
    maximo_ = 0;
    confirmada_.reset();
    lectura_tras_confirmar_ = false;
    fase_ = Fase::leyendo;
    continua();
}

void Descarga::continua() {
    // Reads go out in batches, once half of those in flight have been answered:
    // one packet on the wire for several requests.
    if (fase_ != Fase::leyendo || pedidas_.size() > lecturas_por_archivo / 2) {
        return;
    }
    auto tamano = base_.tamano;
    while (!fin_ && (!tamano || siguiente_ <= *tamano) && pedidas_.size() < lecturas_por_archivo &&
           presupuesto_->bytes < Presupuesto::bytes_maximo) {
        std::uint32_t largo = trozo;
        if (tamano && siguiente_ < *tamano) {
            largo =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(trozo, *tamano - siguiente_));
        } else if (tamano) {
            // One byte past the size shows the end in the same round trip as the data.
            largo = 1;
        }
        pide_lectura(siguiente_, largo);
        siguiente_ += largo;
    }
    // No read is left to ask for: the confirming stat goes right behind the last.
    if (fin_ || (tamano && siguiente_ > *tamano)) {
        pide_confirmacion();
    }
}

void Descarga::al_leer(std::uint64_t desde, std::uint32_t largo, sftp::Respuesta &r) {
    pedidas_.erase(desde);
    presupuesto_->bytes -= largo;
    if (!viva()) {
        cierra_handle();
        return;
    }
    if (auto *e = std::get_if<sftp::Estado>(&r.cuerpo)) {
        if (e->codigo != sftp::FX_EOF) {
            falla_remota("leer", *e);
            return;
        }
        fin_ = std::min(fin_.value_or(desde), desde);
    } else if (auto *d = std::get_if<sftp::Datos>(&r.cuerpo)) {
        auto n = d->bytes.size();
        if (n > largo) {
            falla_con(SOCKVOR_E_SFTP, "El host " + canal_.host() + " envió más datos de " + ruta_ +
                                          " de los pedidos");
            return;
        }
        if (n == 0) {
            fin_ = std::min(fin_.value_or(desde), desde);
        } else if (base_.tamano && desde + n > *base_.tamano) {
            // Past the size the copy started from: never written, only noted.
            excede_ = true;
        } else {
            if (!guarda(desde, d->bytes)) {
                return;
            }
            if (n < largo) {
                // A short read may come anywhere: ask again for what is missing.
                pide_lectura(desde + n, static_cast<std::uint32_t>(largo - n));
            }
        }
    } else {
        respuesta_ajena("una lectura", r);
        return;
    }
    continua();
    revisa();
}

void Descarga::pide_confirmacion() {
    if (confirmando_en_vuelo_ || (confirmada_ && !lectura_tras_confirmar_)) {
        return;
    }
    fase_ = Fase::confirmando;
    confirmando_en_vuelo_ = true;
    lectura_tras_confirmar_ = false;
    confirmada_.reset();
    canal_.pide([&](std::uint32_t id) { return sftp::pide_fstat(id, handle_); },
                [yo = shared_from_this()](sftp::Respuesta &r) { yo->al_confirmar(r); });
}

void Descarga::al_confirmar(sftp::Respuesta &r) {
    confirmando_en_vuelo_ = false;
    if (!viva()) {
        cierra_handle();
    } else if (auto *a = std::get_if<sftp::Atributos>(&r.cuerpo)) {
        confirmada_ = medida_de(*a);
        revisa();
    } else if (auto *e = std::get_if<sftp::Estado>(&r.cuerpo)) {
        falla_remota("consultar", *e);
    } else {
        respuesta_ajena("la consulta", r);
    }
}

// Decides once nothing of the copy is in flight: every read answered and the
// stat taken after the last of them.
void Descarga::revisa() {
    if (fase_ != Fase::confirmando || !pedidas_.empty() || confirmando_en_vuelo_) {
        return;
    }
    if (lectura_tras_confirmar_) {
        pide_confirmacion(); // a short read was asked for again after the stat
        return;
    }
    decide();
}

void Descarga::decide() {
    const Medida &ahora = *confirmada_;
    bool sin_huecos = fin_ && recibido_ == *fin_ && maximo_ <= *fin_;
    bool fin_cabal = fin_ && !excede_ && (!ahora.tamano || *fin_ == *ahora.tamano);
    if (ahora == base_ && sin_huecos && fin_cabal) {
        cierra_handle();
        try {
            destino_->termina(ahora.completa() ? std::optional(Procedencia{clave_, ahora})
                                               : std::nullopt);
        } catch (Fallo &f) {
            falla_local(std::move(f));
            return;
        }
        fase_ = Fase::lista;
    } else if (!(ahora == base_) && reinicios_ < reinicios_maximos) {
        // The host's file is another than the one this copy started from (it
        // changed after the listing, or while it was read): once more, from the
        // start, against what the host says of it now.
        ++reinicios_;
        lee_desde_cero(ahora);
    } else {
        cambio(); // a short copy of an unchanged file, or a file still being written
    }
}

// ---- Helpers ------------------------------------------------------------------------

void Descarga::pide_lectura(std::uint64_t desde, std::uint32_t largo) {
    pedidas_.emplace(desde, largo);
    presupuesto_->bytes += largo;
    if (confirmando_en_vuelo_ || confirmada_) {
        lectura_tras_confirmar_ = true;
    }
    canal_.pide([&](std::uint32_t id) { return sftp::pide_read(id, handle_, desde, largo); },
                [yo = shared_from_this(), desde, largo](sftp::Respuesta &r) {
                    yo->al_leer(desde, largo, r);
                });
}

bool Descarga::guarda(std::uint64_t desde, std::string_view bytes) {
    try {
        destino_->escribe(desde, bytes.data(), bytes.size());
    } catch (Fallo &f) {
        falla_local(std::move(f));
        return false;
    }
    recibido_ += bytes.size();
    maximo_ = std::max(maximo_, desde + bytes.size());
    return true;
}

void Descarga::cierra_handle() {
    if (!handle_abierto_ || !pedidas_.empty() || confirmando_en_vuelo_) {
        return; // the last answer closes it
    }
    handle_abierto_ = false;
    // Nobody waits for the answer: the host frees the handle as it reads the
    // request, so the count drops now and the next file opens a round trip sooner.
    --presupuesto_->handles;
    canal_.pide([&](std::uint32_t id) { return sftp::pide_close(id, handle_); },
                [](sftp::Respuesta &) {});
}

void Descarga::cambio() {
    falla_con(SOCKVOR_E_REMOTO, "El archivo " + ruta_ + " del host " + canal_.host() +
                                    " cambió mientras se leía; vuelva a intentarlo");
}

void Descarga::respuesta_ajena(const char *pedido, const sftp::Respuesta &r) {
    if (auto *i = std::get_if<sftp::Invalida>(&r.cuerpo)) {
        falla_con(SOCKVOR_E_SFTP, "El host " + canal_.host() + " rompió el protocolo SFTP al " +
                                      "responder a " + pedido + " de " + ruta_ + ": " + i->motivo);
        return;
    }
    falla_con(SOCKVOR_E_SFTP, "El host " + canal_.host() + " respondió a " + pedido + " de " +
                                  ruta_ + " con otra cosa");
}

void Descarga::falla_remota(const std::string &accion, const sftp::Estado &e) {
    falla_con(SOCKVOR_E_REMOTO, "No se pudo " + accion + " " + ruta_ + " en el host " +
                                    canal_.host() + ": " + explica(e));
}

void Descarga::falla_local(Fallo f) {
    fallo_local_ = true;
    falla_con(f.codigo, std::move(f.texto));
}

void Descarga::falla_con(int codigo, std::string texto) {
    fallo_ = Fallo{codigo, std::move(texto)};
    fase_ = Fase::fallida;
    destino_.reset();
    cierra_handle();
}

void Descarga::abandona() noexcept {
    if (viva() || fase_ == Fase::lista) {
        fase_ = Fase::abandonada;
    }
    destino_.reset();
    try {
        cierra_handle();
    } catch (...) {
        // Out of memory while queueing a close: the host frees the handle with the channel.
    }
}

} // namespace sockvor
