#include "simulacion/carpeta_simulada.h"

#include "sockvor.h"

#include <cstdio>
#include <cstdlib>

namespace sockvor::simulacion {

namespace {

// Far more steps than any honest listing of a few hundred names needs.
constexpr std::uint64_t pasos_maximos = 200000;

std::uint32_t u32(std::string_view b) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        v = (v << 8) | static_cast<std::uint8_t>(b[i]);
    }
    return v;
}

class CanalDeCarpeta final : public Transporte {
  public:
    explicit CanalDeCarpeta(CarpetaSimulada &host) : host_(host) {}
    bool abierto() override { return true; }
    void envia(std::string_view bytes, const std::string &) override { host_.envia(bytes); }
    std::size_t recibe(sftp::Ensamblador &entrada, const std::string &) override {
        return host_.recibe(entrada);
    }
    void termina(std::string_view) noexcept override {}
    void cierra() noexcept override {}
    void rompe() noexcept override { host_.rompe(); }
    bool roto() const override { return host_.muerta(); }

  private:
    CarpetaSimulada &host_;
};

} // namespace

std::unique_ptr<Transporte> CarpetaSimulada::canal() {
    return std::make_unique<CanalDeCarpeta>(*this);
}

void CarpetaSimulada::aborta(const char *que) const {
    for (const auto &suceso : relato_) {
        std::fprintf(stderr, "%s\n", suceso.c_str());
    }
    std::fprintf(stderr, "NO SE CUMPLE: %s\n", que);
    std::abort();
}

void CarpetaSimulada::envia(std::string_view bytes) {
    entrada_.append(bytes);
    while (entrada_.size() >= 4 && entrada_.size() >= 4 + u32(entrada_)) {
        std::string paquete = entrada_.substr(4, u32(entrada_));
        entrada_.erase(0, 4 + paquete.size());
        exige(paquete.size() >= 5, "la biblioteca envía pedidos bien formados");
        auto tipo = static_cast<std::uint8_t>(paquete[0]);
        if (tipo == sftp::INIT) {
            atendidos_.push_back(Paquete(sftp::VERSION).u32(sftp::version).termina());
        } else {
            por_atender_.push_back({tipo, u32(std::string_view(paquete).substr(1))});
        }
    }
}

std::size_t CarpetaSimulada::recibe(sftp::Ensamblador &entrada) {
    exige(++pasos_ < pasos_maximos, "la lectura termina en un número acotado de pasos");
    std::size_t n = salida_.size();
    entrada.agrega(salida_);
    salida_.clear();
    return n;
}

std::string CarpetaSimulada::lote(std::uint32_t id, std::size_t desde, std::size_t cuantos) {
    cuantos = std::min(cuantos, nombres_.size() - std::min(desde, nombres_.size()));
    Paquete p(sftp::NAME);
    p.u32(id).u32(static_cast<std::uint32_t>(cuantos));
    for (std::size_t i = desde; i < desde + cuantos; ++i) {
        // Size, permissions of a regular file, and times.
        p.cadena(nombres_[i]).cadena("-rw-r--r-- 1 0 0 4 " + nombres_[i]).u32(0x1 | 0x4 | 0x8);
        p.u64(4).u32(0100644).u32(1370000000).u32(1370000000);
    }
    relato_.push_back("  lote de " + std::to_string(cuantos) + " desde " + std::to_string(desde) +
                      " para " + std::to_string(id));
    return p.termina();
}

std::string CarpetaSimulada::responde(const Pedido &p) {
    if (p.tipo == sftp::OPENDIR) {
        return Paquete(sftp::HANDLE).u32(p.id).cadena("carpeta").termina();
    }
    if (p.tipo != sftp::READDIR) {
        return estado(p.id, sftp::FX_OK);
    }
    std::uint8_t b = decide_.byte();
    if (b >= 250) {
        fallo_ = true;
        relato_.push_back("  falla el lote de " + std::to_string(p.id));
        return estado(p.id, sftp::FX_FAILURE, "falla");
    }
    if (b >= 245) {
        return lote(p.id, cursor_, 0);
    }
    if (b >= 240 && previo_ < cursor_) {
        return lote(p.id, previo_, cursor_ - previo_); // the same batch again
    }
    if (cursor_ >= nombres_.size()) {
        if (b < 235) {
            relato_.push_back("  fin para " + std::to_string(p.id));
            return estado(p.id, sftp::FX_EOF);
        }
        relato_.push_back("  vuelve a empezar");
        cursor_ = 0;
    }
    previo_ = cursor_;
    std::size_t n = 1 + decide_.entre(150);
    cursor_ += n;
    return lote(p.id, previo_, n);
}

bool CarpetaSimulada::espera(std::chrono::milliseconds paciencia, const std::string &) {
    exige(++pasos_ < pasos_maximos, "la lectura termina en un número acotado de pasos");
    while (!por_atender_.empty()) {
        atendidos_.push_back(responde(por_atender_.front()));
        por_atender_.pop_front();
        if (decide_.byte() >= 192) {
            break; // some answers leave before later requests are handled
        }
    }
    if (atendidos_.empty()) {
        reloj_ += paciencia;
        return false;
    }
    reloj_ += std::chrono::milliseconds(decide_.entre(8));
    // Answers leave in any order, one or several at a time.
    do {
        auto i = decide_.entre(atendidos_.size());
        salida_ += atendidos_[i];
        atendidos_.erase(atendidos_.begin() + static_cast<long>(i));
    } while (!atendidos_.empty() && decide_.byte() < 128);
    return true;
}

} // namespace sockvor::simulacion
