#include "descargas/anticipo.h"

#include "deposito/origen.h"
#include "sftp/canales.h"
#include "sockvor.h"

#include <cerrno>

namespace sockvor {

namespace {

// Files fetched ahead of the one asked for, at most. With the channels' budgets
// of open handles this keeps a far host's pipe full (two round trips per file,
// a few hundred files a round trip) while bounding the temporary files on disk,
// and the descriptors that hold them, well under the usual limit of 1,024.
constexpr std::size_t ventana_archivos = 384;
// How often the wait for a file's flush looks up from the channel.
constexpr auto paciencia_asegurando = std::chrono::milliseconds(2);

} // namespace

void Anticipo::planea(std::vector<Listado> archivos) {
    suelta_todo();
    plan_ = std::move(archivos);
    por_ruta_.clear();
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        por_ruta_.emplace(plan_[i].ruta, i);
    }
    juicios_.assign(plan_.size(), {});
    prefijo_.reset();
    canales_pedidos_ = false;
    siguiente_ = 0;
    en_pausa_ = false;
}

const Listado *Anticipo::listado(const std::string &ruta) const {
    auto it = por_ruta_.find(ruta);
    return it == por_ruta_.end() ? nullptr : &plan_[it->second];
}

void Anticipo::suelta_transferencias() {
    suelta_todo();
    // Requests that were in flight died with the channel, and with them what they held.
    canales_ = nullptr;
}

void Anticipo::abandona() {
    suelta_transferencias();
    plan_.clear();
    por_ruta_.clear();
    juicios_.clear();
}

void Anticipo::suelta_todo() {
    for (auto &[i, d] : adelantadas_) {
        d->abandona();
    }
    adelantadas_.clear();
    if (directa_) {
        directa_->abandona();
        directa_.reset();
    }
}

void Anticipo::suelta_antes(std::size_t indice) {
    while (!adelantadas_.empty() && adelantadas_.begin()->first < indice) {
        adelantadas_.begin()->second->abandona();
        adelantadas_.erase(adelantadas_.begin());
    }
}

// The plan's index of the file asked for, when the local path is the one the
// plan predicts: the listed name in the deposit folder of the calls so far.
std::optional<std::size_t> Anticipo::del_plan(const std::string &ruta, const std::string &local) {
    auto it = por_ruta_.find(ruta);
    if (it == por_ruta_.end()) {
        return std::nullopt;
    }
    std::size_t i = it->second;
    auto barra = local.rfind('/');
    std::string prefijo = barra == std::string::npos ? "" : local.substr(0, barra + 1);
    if (local.substr(prefijo.size()) != plan_[i].nombre) {
        return std::nullopt;
    }
    if (prefijo_ && *prefijo_ != prefijo) {
        suelta_todo(); // another folder: what was fetched ahead was meant for the old one
        juicios_.assign(plan_.size(), {});
    }
    prefijo_ = prefijo;
    return i;
}

std::optional<Vista> Anticipo::ya_esta(const Listado &l, const std::string &local) const {
    if (!l.medida.completa()) {
        return std::nullopt;
    }
    return sin_cambios(local, {clave_de(ip_, login_, l.ruta), l.medida});
}

bool Anticipo::se_deja(std::size_t j) {
    auto &juicio = juicios_[j];
    if (!juicio.hecho) {
        juicio = {true, ya_esta(plan_[j], *prefijo_ + plan_[j].nombre)};
    }
    return juicio.deja.has_value();
}

bool Anticipo::se_deja_aun(std::size_t j, const std::string &local) {
    const auto &juicio = juicios_[j];
    return (juicio.deja && sigue_igual(local, *juicio.deja)) || ya_esta(plan_[j], local);
}

std::shared_ptr<Descarga> Anticipo::nueva(Canales &canales, CanalSftp &canal, const Listado &l,
                                          const std::string &local) {
    auto d =
        std::make_shared<Descarga>(canales, canal, l.ruta, l.medida, clave_de(ip_, login_, l.ruta),
                                   std::make_unique<Deposito>(local));
    d->empieza();
    return d;
}

// One channel for a handful of small files; more for many, or for much to
// read. Files a repeat run leaves alone are not counted: they need none.
std::size_t Anticipo::canales_para_el_plan(std::size_t desde, bool lejos) {
    std::size_t archivos = 0;
    std::uint64_t bytes = 0;
    for (std::size_t j = desde; j < plan_.size(); ++j) {
        if (!se_deja(j)) {
            ++archivos;
            bytes += plan_[j].medida.tamano.value_or(0);
        }
    }
    constexpr std::uint64_t mib = 1u << 20;
    if (archivos > 32 || (lejos && bytes > 32 * mib)) {
        return Canales::maximo;
    }
    return archivos > 8 || (lejos && bytes > 8 * mib) ? 2 : 1;
}

bool Anticipo::hay_otras(std::optional<std::size_t> i) const {
    return directa_ || adelantadas_.size() > (i && adelantadas_.count(*i) ? 1u : 0u);
}

void Anticipo::adelanta(Canales &canales, std::size_t actual) {
    // A file fetched ahead that failed here locally (a full disk, say) pauses
    // fetching ahead: what it holds goes, and each file comes on its own, when
    // asked for, where a failure can be told truly.
    for (const auto &[i, d] : adelantadas_) {
        en_pausa_ = en_pausa_ || (i != actual && d->fallida() && d->fallo_local());
    }
    CanalSftp *canal = nullptr;
    while (!en_pausa_ && siguiente_ < plan_.size() && siguiente_ <= actual + ventana_archivos &&
           (canal = canales.elige())) {
        std::size_t j = siguiente_++;
        if (se_deja(j)) {
            continue;
        }
        try {
            adelantadas_.emplace(j, nueva(canales, *canal, plan_[j], *prefijo_ + plan_[j].nombre));
        } catch (const Fallo &) {
            // No temporary file could be made (no descriptors or quota left, say):
            // the same pause. Asked for, the file is tried on its own.
            en_pausa_ = true;
        }
    }
    if (en_pausa_) {
        std::erase_if(adelantadas_, [&](auto &par) {
            if (par.first == actual) {
                return false;
            }
            par.second->abandona();
            return true;
        });
    }
}

std::shared_ptr<Descarga> Anticipo::de_turno(Canales &canales, std::optional<std::size_t> i,
                                             const Listado *l, const std::string &ruta,
                                             const std::string &local, bool &de_antes) {
    de_antes = false;
    // The file asked for goes even on a channel whose budget is spent.
    CanalSftp *canal = canales.elige();
    CanalSftp &donde = canal ? *canal : canales.alguno();
    if (!i) {
        if (directa_) {
            directa_->abandona();
            directa_.reset();
        }
        return directa_ = nueva(canales, donde, l ? *l : Listado{ruta, "", {}}, local);
    }
    suelta_antes(*i);
    siguiente_ = std::max(siguiente_, *i + 1);
    if (auto it = adelantadas_.find(*i); it != adelantadas_.end()) {
        de_antes = true;
        it->second->en_su_turno();
        return it->second;
    }
    return adelantadas_.emplace(*i, nueva(canales, donde, *l, local)).first->second;
}

std::optional<Descarga::Reloj::time_point> Anticipo::proximo_reintento() const {
    std::optional<Descarga::Reloj::time_point> proximo;
    auto mira = [&](const std::shared_ptr<Descarga> &d) {
        if (auto t = d->reintento(); t && (!proximo || *t < *proximo)) {
            proximo = t;
        }
    };
    if (directa_) {
        mira(directa_);
    }
    for (const auto &[i, d] : adelantadas_) {
        mira(d);
    }
    return proximo;
}

void Anticipo::avanza(Canales &canales, std::optional<std::size_t> i, Descarga *turno) {
    // The file asked for waits on a channel that has answered nothing for the
    // bound (the host's process serving it stuck, say): nothing more is asked
    // for the others, so that what is in flight drains and the host's silence
    // ends the wait, rather than files ahead keeping the connection busy for
    // as long as they last. A channel only slow behind the others' data
    // answers meanwhile, and then all goes on.
    bool frena = turno && turno->estancada(canales.plazo());
    if (i && !frena) {
        adelanta(canales, *i);
    }
    if (directa_) {
        directa_->continua();
    }
    for (auto &[j, d] : adelantadas_) {
        d->frena(frena && d.get() != turno);
        d->continua();
    }
}

void Anticipo::espera(Canales &canales, Descarga &d, std::optional<std::size_t> i,
                      const std::string &ruta) {
    try {
        // Every wait keeps the files after this one coming; a file paused for
        // another try wakes the wait when its time comes, unless nothing but
        // this file moves (see avanza).
        auto despierta = [&]() -> std::optional<Descarga::Reloj::time_point> {
            return d.estancada(canales.plazo()) ? std::nullopt : proximo_reintento();
        };
        while (!d.terminada()) {
            auto hasta = despierta();
            canales.atiende(
                [&] {
                    avanza(canales, i, &d);
                    return d.terminada() || despierta() != hasta;
                },
                "leer " + ruta, hasta);
        }
    } catch (const Fallo &) {
        // The stream failed for another request after this file was whole (a
        // reply it could not frame, a drop): the file is still made final, and
        // the next call finds the session gone and makes another.
        if (!d.terminada() || d.fallida()) {
            throw;
        }
    }
}

void Anticipo::deposita(Canales &canales, Deposito &deposito, std::optional<std::size_t> i,
                        const std::string &ruta) {
    // While its data goes to disk, the files after it keep coming, and those
    // that complete meanwhile share the next flush.
    try {
        while (!canales.rotos() && !deposito.asegurado() && canales.en_vuelo() > 0) {
            canales.atiende(
                [&] {
                    avanza(canales, i, nullptr);
                    return deposito.asegurado();
                },
                "leer " + ruta, canales.ahora() + paciencia_asegurando);
        }
    } catch (const Fallo &) {
        // Whatever failed on the stream concerns the files after this one, which
        // go with the session; this one is whole.
    }
    deposito.confirma();
}

void Anticipo::trae(Canales &canales, const std::string &ruta, const std::string &local) {
    if (canales_ != &canales) {
        suelta_transferencias();
        canales_ = &canales;
    }
    for (int intento = 0;; ++intento) {
        auto i = del_plan(ruta, local);
        // Asked for at the plan's first file, before any is fetched ahead, so the
        // files spread over them from the start.
        if (i && !canales_pedidos_) {
            canales_pedidos_ = true;
            canales.quiere_para_archivos(canales_para_el_plan(*i, canales.lejos()));
        }
        const Listado *l = i ? &plan_[*i] : listado(ruta);
        if (l && (i ? se_deja_aun(*i, local) : ya_esta(*l, local).has_value())) {
            if (i) {
                suelta_antes(*i + 1);
                siguiente_ = std::max(siguiente_, *i + 1);
            }
            return;
        }
        std::shared_ptr<Descarga> d;
        bool de_antes = false;    // asked of the host ahead, before the command asked for it
        bool acabo_antes = false; // and ended before that
        try {
            d = de_turno(canales, i, l, ruta, local, de_antes);
            acabo_antes = de_antes && d->terminada();
        } catch (const Fallo &) {
            // Not even its temporary file could be made: the files fetched ahead
            // may hold the descriptors or the space it lacks.
            if (intento == 0 && hay_otras(i)) {
                en_pausa_ = true;
                suelta_todo();
                continue;
            }
            throw;
        }
        espera(canales, *d, i, ruta);
        if (i) {
            adelantadas_.erase(*i);
        } else {
            directa_.reset();
        }
        if (!d->fallida()) {
            auto deposito = d->entrega();
            deposita(canales, *deposito, i, ruta);
            return;
        }
        // Files fetched ahead may hold the space this one lacked: they go, and
        // this one is tried once more on its own.
        if (d->fallo_local() && intento == 0 && (hay_otras(i) || en_pausa_)) {
            en_pausa_ = true;
            suelta_todo();
            continue;
        }
        // A channel the host closed fails what it carried; the file asked for
        // is tried once more on the others, as on a new connection when the
        // connection drops.
        if (d->fallo().codigo == SOCKVOR_E_CONEXION_PERDIDA && intento == 0 && !canales.rotos()) {
            continue;
        }
        // A file that failed while fetched ahead (a host that limits its open
        // files, or one that held it for the whole bound before its turn) is
        // tried once more now that it is asked for: fetching ahead never fails
        // a run that one file at a time would not. One the host went on
        // refusing for a whole bound counted from its turn has had its tries.
        if (de_antes && intento == 0 && (acabo_antes || !d->agoto_su_plazo())) {
            continue;
        }
        throw d->fallo();
    }
}

} // namespace sockvor
