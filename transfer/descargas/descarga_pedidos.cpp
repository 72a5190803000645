// The requests a copy sends, and the opens of its file they go on.
#include "descargas/descarga.h"

#include <algorithm>

namespace sockvor {

void Descarga::abre(CanalSftp &canal) {
    anota_pedido();
    auto ap = std::make_shared<Apertura>(canal);
    aperturas_.push_back(ap);
    ++canal.presupuesto().handles;
    canal.pide([&](std::uint32_t id) { return sftp::pide_open(id, ruta_); },
               [yo = shared_from_this(), ap](sftp::Respuesta &r) {
                   yo->anota_respuesta();
                   yo->al_abrir(ap, r);
               });
}

void Descarga::pide_medida(const Ap &ap,
                           void (Descarga::*al_responder)(const Ap &, sftp::Respuesta &)) {
    anota_pedido();
    ap->midiendo = true;
    ap->lectura_tras_medir = false;
    ap->canal->pide([&](std::uint32_t id) { return sftp::pide_fstat(id, ap->handle); },
                    [yo = shared_from_this(), ap, al_responder](sftp::Respuesta &r) {
                        ap->midiendo = false;
                        yo->anota_respuesta();
                        ((*yo).*al_responder)(ap, r);
                    });
}

void Descarga::pide_lectura(const Ap &ap, std::uint64_t desde, std::uint32_t largo) {
    anota_pedido();
    ap->pedidas.emplace(desde, largo);
    ap->canal->presupuesto().bytes += largo;
    ap->leyo = true;
    if (ap->midiendo || ap->medida) {
        ap->lectura_tras_medir = true;
    }
    ap->canal->pide([&](std::uint32_t id) { return sftp::pide_read(id, ap->handle, desde, largo); },
                    [yo = shared_from_this(), ap, desde, largo](sftp::Respuesta &r) {
                        yo->anota_respuesta();
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

// The opens from `desde` on are no longer used: each closes now or, with
// requests still in flight, with the last answer.
void Descarga::suelta_aperturas(std::size_t desde) {
    while (aperturas_.size() > desde) {
        auto ap = std::move(aperturas_.back());
        aperturas_.pop_back();
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
    --ap->canal->presupuesto().handles;
    ap->canal->pide([&](std::uint32_t id) { return sftp::pide_close(id, ap->handle); },
                    [](sftp::Respuesta &) {});
}

} // namespace sockvor
