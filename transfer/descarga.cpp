#include "descarga.h"

#include "sockvor.h"

#include <algorithm>

namespace sockvor {

namespace {

// 32 KiB is the read size every SFTP server must honour.
constexpr std::uint32_t trozo = 32768;
// Reads outstanding for one file: 1 MiB, more than a fast link's window holds.
constexpr std::size_t lecturas_por_archivo = 32;

} // namespace

Descarga::Descarga(CanalSftp &canal, std::shared_ptr<Presupuesto> presupuesto, std::string ruta,
                   std::optional<std::uint64_t> tamano, std::optional<std::uint32_t> mtime,
                   std::unique_ptr<Deposito> destino)
    : canal_(canal), presupuesto_(std::move(presupuesto)), ruta_(std::move(ruta)),
      tamano_listado_(tamano), mtime_(mtime), destino_(std::move(destino)) {}

void Descarga::empieza() {
    estado_ = Estado::abriendo;
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
            return;
        }
        if (tamano_listado_) {
            limite_ = *tamano_listado_;
            estado_ = Estado::leyendo;
            continua();
        } else {
            pide_medida();
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
        respuesta_ajena("la apertura");
    }
}

void Descarga::pide_medida() {
    estado_ = Estado::midiendo;
    canal_.pide([&](std::uint32_t id) { return sftp::pide_fstat(id, handle_); },
                [yo = shared_from_this()](sftp::Respuesta &r) {
                    if (!yo->viva()) {
                        yo->cierra_handle(); // given up while this was asked: nothing else will
                        return;
                    }
                    if (auto *a = std::get_if<sftp::Atributos>(&r.cuerpo)) {
                        yo->al_medir(*a);
                    } else if (auto *e = std::get_if<sftp::Estado>(&r.cuerpo)) {
                        yo->falla_remota("consultar", *e);
                    } else {
                        yo->respuesta_ajena("la consulta");
                    }
                });
}

// The size a stat gives becomes the limit. Once the listing's size was found
// short (the file grew before it was opened), the stat is taken once: a file
// that outgrows that too is still being written.
void Descarga::al_medir(sftp::Atributos a) {
    bool crecio = limite_ != sin_fin;
    if (crecio && (!a.tamano || *a.tamano <= limite_)) {
        cambio();
        return;
    }
    limite_ = a.tamano.value_or(sin_fin);
    if (crecio) {
        remedida_ = true;
        // The probe's byte already came; the reads go on from the one after it.
    }
    estado_ = Estado::leyendo;
    continua();
}

void Descarga::continua() {
    // Reads go out in batches, once half of those in flight have been answered:
    // one packet on the wire for several requests.
    if (estado_ != Estado::leyendo || pedidas_.size() > lecturas_por_archivo / 2) {
        return;
    }
    while (fin_ == sin_fin && siguiente_ <= limite_ && pedidas_.size() < lecturas_por_archivo &&
           presupuesto_->bytes < Presupuesto::bytes_maximo) {
        std::uint32_t largo = trozo;
        if (limite_ != sin_fin && siguiente_ < limite_) {
            largo =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(trozo, limite_ - siguiente_));
        } else if (siguiente_ == limite_) {
            // One byte past the size shows the end in the same round trip as the data.
            largo = 1;
        }
        pide_lectura(siguiente_, largo);
        siguiente_ += largo;
    }
}

void Descarga::pide_lectura(std::uint64_t desde, std::uint32_t largo) {
    pedidas_.emplace(desde, largo);
    presupuesto_->bytes += largo;
    canal_.pide([&](std::uint32_t id) { return sftp::pide_read(id, handle_, desde, largo); },
                [yo = shared_from_this(), desde, largo](sftp::Respuesta &r) {
                    yo->al_leer(desde, largo, r);
                });
}

void Descarga::al_leer(std::uint64_t desde, std::uint32_t largo, sftp::Respuesta &r) {
    pedidas_.erase(desde);
    presupuesto_->bytes -= largo;
    if (!viva()) {
        if (pedidas_.empty() && handle_abierto_) {
            cierra_handle();
        }
        return;
    }
    if (auto *e = std::get_if<sftp::Estado>(&r.cuerpo)) {
        if (e->codigo != sftp::FX_EOF) {
            falla_remota("leer", *e);
            return;
        }
        fin_ = std::min(fin_, desde);
    } else if (auto *d = std::get_if<sftp::Datos>(&r.cuerpo)) {
        auto n = d->bytes.size();
        if (n > largo) {
            falla_con(SOCKVOR_E_SFTP, "El host " + canal_.host() + " envió más datos de " + ruta_ +
                                          " de los pedidos");
            return;
        }
        if (n == 0) {
            fin_ = std::min(fin_, desde);
        } else if (desde + n > limite_) {
            // Past the size found at open. Only the probe may show that, and only
            // once may it send us to measure again.
            if (desde != limite_ || remedida_ || !tamano_listado_) {
                cambio();
                return;
            }
            if (!guarda(desde, d->bytes.substr(0, 1))) {
                return;
            }
            siguiente_ = desde + 1;
            pide_medida();
            return;
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
        respuesta_ajena("una lectura");
        return;
    }
    continua();
    revisa_fin();
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

void Descarga::revisa_fin() {
    if (estado_ != Estado::leyendo || !pedidas_.empty() || fin_ == sin_fin) {
        return;
    }
    if (maximo_ > fin_ || recibido_ != fin_) {
        cambio();
        return;
    }
    cierra_handle();
    try {
        bool como_listado = tamano_listado_ && fin_ == *tamano_listado_ && !remedida_;
        destino_->termina(como_listado ? tamano_listado_ : std::nullopt,
                          como_listado ? mtime_ : std::nullopt);
    } catch (Fallo &f) {
        falla_local(std::move(f));
        return;
    }
    estado_ = Estado::lista;
}

void Descarga::cierra_handle() {
    if (!handle_abierto_ || !pedidas_.empty()) {
        return; // the last read's answer closes it
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

void Descarga::respuesta_ajena(const char *pedido) {
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
    estado_ = Estado::fallida;
    destino_.reset();
    cierra_handle();
}

void Descarga::abandona() noexcept {
    if (viva() || estado_ == Estado::lista) {
        estado_ = Estado::abandonada;
    }
    destino_.reset();
    try {
        cierra_handle();
    } catch (...) {
        // Out of memory while queueing a close: the host frees the handle with the channel.
    }
}

} // namespace sockvor
