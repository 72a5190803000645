#include "descargas/descarga.h"

#include "sockvor.h"

#include <algorithm>

namespace sockvor {

namespace {

// 32 KiB is the read size every SFTP server must honour.
constexpr std::uint32_t trozo = 32768;
// Reads outstanding on one open of a file: 2 MiB, what a channel's window
// carries in a round trip on a far link, half of the channel's budget.
constexpr std::size_t lecturas_por_apertura = 64;
// A file found to be another than the one its copy started from is copied once
// more from the start at once; found changed again, it is being written.
constexpr int reinicios_maximos = 1;
// A file with this much left to read is read over several channels at once,
// where the link is far (Canales::lejos).
constexpr std::uint64_t grande = 4u << 20;

Medida medida_de(const sftp::Atributos &a) {
    return {a.tamano, a.mtime};
}

} // namespace

Descarga::Descarga(Canales &canales, CanalSftp &canal, std::string ruta, Medida listada,
                   std::string clave, std::unique_ptr<Deposito> destino)
    : canales_(canales), primer_canal_(&canal), ruta_(std::move(ruta)), listada_(listada),
      clave_(std::move(clave)), destino_(std::move(destino)) {}

bool Descarga::ajena(const Ap &ap) const {
    return !viva() || std::find(aperturas_.begin(), aperturas_.end(), ap) == aperturas_.end();
}

bool Descarga::sin_mas_lecturas() const {
    return fin_.has_value() || (base_.tamano && siguiente_ > *base_.tamano);
}

// ---- Transitions --------------------------------------------------------------------

void Descarga::empieza() {
    fase_ = Fase::abriendo;
    reinicios_ = 0;
    CanalSftp *c = std::exchange(primer_canal_, nullptr);
    if (!c) {
        c = canales_.elige();
    }
    // The file asked for goes even on a channel whose budget is spent.
    abre(c ? *c : canales_.alguno());
}

void Descarga::al_abrir(const Ap &ap, sftp::Respuesta &r) {
    ap->abriendo = false;
    bool otra = !aperturas_.empty() && ap != aperturas_.front();
    if (auto *h = std::get_if<sftp::Handle>(&r.cuerpo)) {
        ap->handle = std::move(h->valor);
        ap->abierta = true;
        if (ajena(ap)) {
            cierra_si_libre(ap);
        } else if (otra) {
            continua(); // another open of a file being read joins the reading
            revisa();
        } else if (listada_.completa()) {
            lee_desde_cero(listada_);
        } else {
            fase_ = Fase::midiendo;
            pide_medida(ap, &Descarga::al_medir);
        }
        return;
    }
    --ap->canal->presupuesto().handles;
    if (ajena(ap)) {
        return;
    }
    if (otra) {
        // The others read on without it.
        std::erase(aperturas_, ap);
        continua();
        revisa();
    } else if (auto *e = std::get_if<sftp::Estado>(&r.cuerpo)) {
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
    suelta_aperturas(1); // more are opened again while the file is worth it
    auto &ap = *aperturas_.front();
    ap.leyo = false;
    ap.medida.reset();
    ap.lectura_tras_medir = false;
    fase_ = Fase::leyendo;
    if (por_varios_canales()) {
        canales_.quiere(Canales::maximo);
    }
    continua();
}

void Descarga::continua() {
    if (frenada_) {
        return;
    }
    if (fase_ == Fase::en_pausa && canales_.ahora() >= reintento_) {
        empieza();
        return;
    }
    if (fase_ == Fase::leyendo) {
        quiza_otra_apertura();
        for (std::size_t i = 0; i < aperturas_.size(); ++i) {
            if (aperturas_[i]->abierta) {
                lee(*aperturas_[i]);
            }
        }
    }
    if ((fase_ != Fase::leyendo && fase_ != Fase::confirmando) || !sin_mas_lecturas()) {
        return;
    }
    // No read is left to ask for: each open's stat goes right behind its last
    // read; an open that read nothing is no longer needed.
    fase_ = Fase::confirmando;
    auto libres = std::stable_partition(aperturas_.begin() + 1, aperturas_.end(),
                                        [](const Ap &ap) { return ap->leyo; });
    std::vector<Ap> sobran(libres, aperturas_.end());
    aperturas_.erase(libres, aperturas_.end());
    for (const auto &ap : sobran) {
        cierra_si_libre(ap);
    }
    for (const auto &ap : aperturas_) {
        if (ap->abierta && !ap->midiendo && (!ap->medida || ap->lectura_tras_medir)) {
            pide_medida(ap, &Descarga::al_confirmar);
        }
    }
}

void Descarga::lee(Apertura &ap) {
    // Reads go out in batches, once half of those in flight have been answered:
    // one packet on the wire for several requests.
    if (ap.pedidas.size() > lecturas_por_apertura / 2) {
        return;
    }
    auto tamano = base_.tamano;
    auto &presupuesto = ap.canal->presupuesto();
    auto yo = std::find_if(aperturas_.begin(), aperturas_.end(),
                           [&](const Ap &a) { return a.get() == &ap; });
    while (!sin_mas_lecturas() && ap.pedidas.size() < lecturas_por_apertura &&
           presupuesto.bytes < Presupuesto::bytes_maximo) {
        std::uint32_t largo = trozo;
        if (tamano && siguiente_ < *tamano) {
            largo =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(trozo, *tamano - siguiente_));
        } else if (tamano) {
            // One byte past the size shows the end in the same round trip as the data.
            largo = 1;
        }
        pide_lectura(*yo, siguiente_, largo);
        siguiente_ += largo;
    }
}

bool Descarga::por_varios_canales() const {
    return base_.tamano && *base_.tamano - siguiente_ >= grande && canales_.lejos();
}

void Descarga::quiza_otra_apertura() {
    if (!por_varios_canales() || sin_mas_lecturas() || aperturas_.size() >= Canales::maximo) {
        return;
    }
    std::vector<const CanalSftp *> usados;
    for (const auto &ap : aperturas_) {
        usados.push_back(ap->canal);
    }
    if (auto *c = canales_.elige(usados)) {
        abre(*c);
    }
}

void Descarga::al_leer(const Ap &ap, std::uint64_t desde, std::uint32_t largo, sftp::Respuesta &r) {
    ap->pedidas.erase(desde);
    ap->canal->presupuesto().bytes -= largo;
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
            falla_con(SOCKVOR_E_SFTP, "El host " + canales_.host() + " envió más datos de " +
                                          ruta_ + " de los pedidos");
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
                pide_lectura(ap, desde + n, static_cast<std::uint32_t>(largo - n));
            }
        }
    } else {
        respuesta_ajena("una lectura", r);
        return;
    }
    continua();
    revisa();
}

void Descarga::al_confirmar(const Ap &ap, sftp::Respuesta &r) {
    if (ajena(ap)) {
        cierra_si_libre(ap);
    } else if (auto *a = std::get_if<sftp::Atributos>(&r.cuerpo)) {
        ap->medida = medida_de(*a);
        revisa();
    } else if (auto *e = std::get_if<sftp::Estado>(&r.cuerpo)) {
        falla_remota("consultar", *e);
    } else {
        respuesta_ajena("la consulta", r);
    }
}

// Decides once nothing of the copy is in flight: every read answered, and on
// every open a stat taken after the last of its reads.
void Descarga::revisa() {
    if (fase_ != Fase::confirmando) {
        return;
    }
    for (const auto &ap : aperturas_) {
        if (ap->abriendo || ap->midiendo || !ap->pedidas.empty()) {
            return;
        }
    }
    std::optional<Medida> ahora;
    bool falta = false;
    for (const auto &ap : aperturas_) {
        if (ap->lectura_tras_medir || !ap->medida) {
            pide_medida(ap, &Descarga::al_confirmar); // a short read went after the stat
            falta = true;
        } else if (!ahora || *ap->medida != base_) {
            ahora = ap->medida; // any open that saw another file decides
        }
    }
    if (!falta && ahora) {
        decide(*ahora);
    }
}

void Descarga::decide(const Medida &ahora) {
    bool sin_huecos = fin_ && recibido_ == *fin_ && maximo_ <= *fin_;
    bool fin_cabal = fin_ && !excede_ && (!ahora.tamano || *fin_ == *ahora.tamano);
    if (ahora == base_ && sin_huecos && fin_cabal) {
        suelta_aperturas();
        try {
            destino_->termina(ahora.mtime, ahora.completa()
                                               ? std::optional(Procedencia{clave_, ahora})
                                               : std::nullopt);
        } catch (Fallo &f) {
            falla_local(std::move(f));
            return;
        }
        fase_ = Fase::lista;
    } else if (ahora != base_ && reinicios_ < reinicios_maximos) {
        // The host's file is another than the one this copy started from (it
        // changed after the listing, or while it was read): once more, from the
        // start, against what the host says of it now.
        ++reinicios_;
        lee_desde_cero(ahora);
    } else {
        cambio(); // a short copy of an unchanged file, or a file still being written
    }
}

} // namespace sockvor
