// The channels of a connection over a host played here that answers the SFTP handshake and
// then nothing, on a clock that moves only while the library waits for it.
#include "errores.h"
#include "sftp/canales.h"

#include <gtest/gtest.h>

namespace sockvor {

namespace {

using namespace std::chrono_literals;

class CanalMudo final : public Transporte {
  public:
    bool abierto() override { return true; }
    void envia(std::string_view, const std::string &) override {}
    std::size_t recibe(sftp::Ensamblador &entrada, const std::string &) override {
        if (saludo_.empty()) {
            return 0;
        }
        entrada.agrega(saludo_);
        return std::exchange(saludo_, {}).size();
    }
    void termina(std::string_view) noexcept override {}
    void cierra() noexcept override {}
    void rompe() noexcept override { roto_ = true; }
    bool roto() const override { return roto_; }

  private:
    std::string saludo_ = sftp::Escritor(sftp::VERSION).u32(sftp::version).termina();
    bool roto_ = false;
};

class RedMuda final : public Red {
  public:
    std::unique_ptr<Transporte> otro_canal() override { return nullptr; }
    bool espera(std::chrono::milliseconds paciencia, const std::string &) override {
        reloj_ += paciencia;
        return false;
    }
    void rompe() noexcept override {}
    bool muerta() const override { return false; }
    const std::string &host() const override { return nombre_; }
    std::chrono::milliseconds plazo() const override { return 2s; }
    Reloj::time_point ahora() const override { return reloj_; }

  private:
    std::string nombre_ = "mudo";
    Reloj::time_point reloj_{1h};
};

} // namespace

// The host's silence counts from the request on, however the caller slices its waiting
// (until a paused file's next try, while a deposit's flush runs): each slice far shorter
// than the bound, the host still fails at the bound, not never.
TEST(Canales, HostCalladoFallaEnSuPlazoAunqueSeLeEspereATramos) {
    RedMuda red;
    Canales canales(red, std::make_unique<CanalMudo>());
    canales.alguno().pide([](std::uint32_t id) { return sftp::pide_open(id, "/x"); },
                          [](sftp::Respuesta &) {});
    const auto desde = red.ahora();
    std::string falla;
    for (int tramo = 0; tramo < 100 && falla.empty(); ++tramo) {
        try {
            canales.atiende([] { return false; }, "leer /x", red.ahora() + 300ms);
        } catch (const Fallo &f) {
            falla = f.texto;
        }
    }
    EXPECT_EQ(falla, "El host mudo no respondió en 2 s al leer /x");
    EXPECT_GE(red.ahora() - desde, red.plazo());
    EXPECT_LT(red.ahora() - desde, red.plazo() + 300ms);
}

} // namespace sockvor
