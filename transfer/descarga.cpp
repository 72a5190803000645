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
// more from the start at once; found changed again, it is being written.
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
    reinicios_ = 0;
    apertura_ = std::make_shared<Apertura>();
    ++presupuesto_->handles;
    canal_.pide(
        [&](std::uint32_t id) { return sftp::pide_open(id, ruta_); },
        [yo = shared_from_this(), ap = apertura_](sftp::Respuesta &r) { yo->al_abrir(ap, r); });
}

void Descarga::al_abrir(const Ap &ap, sftp::Respuesta &r) {
    if (auto *h = std::get_if<sftp::Handle>(&r.cuerpo)) {
        ap->handle = std::move(h->valor);
        ap->abierta = true;
        if (ajena(ap)) {
            cierra_si_libre(ap);
        } else if (listada_.completa()) {
            lee_desde_cero(listada_);
        } else {
            fase_ = Fase::midiendo;
            pide_medida(&Descarga::al_medir);
        }
        return;
    }
    --presupuesto_->handles;
    if (ajena(ap)) {
        return;
    }
    if (auto *e = std::get_if<sftp::Estado>(&r.cuerpo)) {
        falla_remota("abrir", *e);
    } else {
        respuesta_ajena("la apertura", r);
    }
}

void Descarga::al_medir(const Ap &ap, sftp::Respuesta &r) {
    if (ajena(ap)) {
        cierra_si_libre(ap); // given up while this was asked: nothing else will
    } else if (auto *a = std::get_if<sftp::Atributos>(&r.cuerpo)) {
        lee_desde_cero(medida_de(*a));
    } else if (auto *e = std::get_if<sftp::Estado>(&r.cuerpo)) {
        falla_remota("consultar", *e);
    } else {
        respuesta_ajena("la consulta", r);
    }
}

// Nothing of this file is in flight on its open when a copy starts, so no
// answer to an earlier copy can land in this one.
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
    fase_ = Fase::leyendo;
    continua();
}

void Descarga::continua() {
    if (fase_ == Fase::en_pausa && canal_.ahora() >= reintento_) {
        empieza();
        return;
    }
    // Reads go out in batches, once half of those in flight have been answered:
    // one packet on the wire for several requests.
    if (fase_ != Fase::leyendo || apertura_->pedidas.size() > lecturas_por_archivo / 2) {
        return;
    }
    auto tamano = base_.tamano;
    while (!fin_ && (!tamano || siguiente_ <= *tamano) &&
           apertura_->pedidas.size() < lecturas_por_archivo &&
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

void Descarga::al_leer(const Ap &ap, std::uint64_t desde, std::uint32_t largo, sftp::Respuesta &r) {
    ap->pedidas.erase(desde);
    presupuesto_->bytes -= largo;
    if (ajena(ap)) {
        cierra_si_libre(ap);
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
    auto &ap = *apertura_;
    if (ap.midiendo || (confirmada_ && !ap.lectura_tras_medir)) {
        return;
    }
    fase_ = Fase::confirmando;
    confirmada_.reset();
    pide_medida(&Descarga::al_confirmar);
}

void Descarga::al_confirmar(const Ap &ap, sftp::Respuesta &r) {
    if (ajena(ap)) {
        cierra_si_libre(ap);
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
    const auto &ap = *apertura_;
    if (fase_ != Fase::confirmando || !ap.pedidas.empty() || ap.midiendo) {
        return;
    }
    if (ap.lectura_tras_medir) {
        pide_confirmacion(); // a short read was asked for again after the stat
        return;
    }
    decide();
}

void Descarga::decide() {
    const Medida ahora = *confirmada_;
    bool sin_huecos = fin_ && recibido_ == *fin_ && maximo_ <= *fin_;
    bool fin_cabal = fin_ && !excede_ && (!ahora.tamano || *fin_ == *ahora.tamano);
    if (ahora == base_ && sin_huecos && fin_cabal) {
        suelta_apertura();
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

void Descarga::pide_medida(void (Descarga::*al_responder)(const Ap &, sftp::Respuesta &)) {
    auto &ap = *apertura_;
    ap.midiendo = true;
    ap.lectura_tras_medir = false;
    canal_.pide([&](std::uint32_t id) { return sftp::pide_fstat(id, ap.handle); },
                [yo = shared_from_this(), ap = apertura_, al_responder](sftp::Respuesta &r) {
                    ap->midiendo = false;
                    ((*yo).*al_responder)(ap, r);
                });
}

void Descarga::pide_lectura(std::uint64_t desde, std::uint32_t largo) {
    auto &ap = *apertura_;
    ap.pedidas.emplace(desde, largo);
    presupuesto_->bytes += largo;
    if (ap.midiendo || confirmada_) {
        ap.lectura_tras_medir = true;
    }
    canal_.pide([&](std::uint32_t id) { return sftp::pide_read(id, ap.handle, desde, largo); },
                [yo = shared_from_this(), ap = apertura_, desde, largo](sftp::Respuesta &r) {
                    yo->al_leer(ap, desde, largo, r);
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

// The copy no longer uses its open: closed now or, with requests still in
// flight, by the last answer.
void Descarga::suelta_apertura() {
    if (auto ap = std::exchange(apertura_, nullptr)) {
        cierra_si_libre(ap);
    }
}

void Descarga::cierra_si_libre(const Ap &ap) {
    if (!ap->abierta || !ap->pedidas.empty() || ap->midiendo) {
        return;
    }
    ap->abierta = false;
    // Nobody waits for the answer: the host frees the handle as it reads the
    // request, so the count drops now and the next file opens a round trip sooner.
    --presupuesto_->handles;
    canal_.pide([&](std::uint32_t id) { return sftp::pide_close(id, ap->handle); },
                [](sftp::Respuesta &) {});
}

} // namespace sockvor
