// A folder's listing played inside the process, under the SFTP request layer:
// one channel whose READDIRs the fuzzer's bytes answer, with batches of any
// size, an empty one, one given twice, a failure in the middle, the list
// started over after its end, and the answers sent in any order, so that the
// end may come while batches of names are still on their way.
#pragma once

#include "simulacion/host_simulado.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace sockvor::simulacion {

// The connection, with its one channel (canal()), and the host behind it.
class CarpetaSimulada final : public Red {
  public:
    CarpetaSimulada(Decisiones &decide, std::vector<std::string> nombres)
        : decide_(decide), nombres_(std::move(nombres)) {}

    std::unique_ptr<Transporte> canal();

    // What the host did that a listing must not survive as a whole one.
    bool fallo() const { return fallo_; }
    const std::vector<std::string> &relato() const { return relato_; }
    [[noreturn]] void aborta(const char *que) const;
    void exige(bool condicion, const char *que) const {
        if (!condicion) {
            aborta(que);
        }
    }

    std::unique_ptr<Transporte> otro_canal() override { return nullptr; }
    bool espera(std::chrono::milliseconds paciencia, const std::string &accion) override;
    void rompe() noexcept override { roto_ = true; }
    bool muerta() const override { return roto_; }
    const std::string &host() const override { return nombre_; }
    std::chrono::milliseconds plazo() const override { return std::chrono::seconds(30); }
    Reloj::time_point ahora() const override { return reloj_; }

    // What the channel carries.
    void envia(std::string_view bytes);
    std::size_t recibe(sftp::Ensamblador &entrada);

  private:
    struct Pedido {
        std::uint8_t tipo;
        std::uint32_t id;
    };
    std::string responde(const Pedido &p);
    std::string lote(std::uint32_t id, std::size_t desde, std::size_t cuantos);

    Decisiones &decide_;
    std::vector<std::string> nombres_;
    std::string nombre_ = "simulado";
    std::size_t cursor_ = 0;
    std::size_t previo_ = 0; // where the last batch began, to give it again
    bool fallo_ = false;
    bool roto_ = false;
    std::uint64_t pasos_ = 0;
    Reloj::time_point reloj_{std::chrono::hours(1)};
    std::string entrada_;
    std::deque<Pedido> por_atender_;
    std::vector<std::string> atendidos_; // answers made, not yet sent
    std::string salida_;
    std::vector<std::string> relato_;
};

} // namespace sockvor::simulacion
