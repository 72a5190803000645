#include "simulacion/host_simulado.h"

#include "sftp/mensajes.h"
#include "sockvor.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sockvor::simulacion {

namespace {

// Steps a run may take: far more than any honest run of a few files needs, so
// reaching it means the library went round in circles.
constexpr std::uint64_t pasos_maximos = 200000;
// Each answer takes this long to arrive: a far host, where a big file is read
// over several channels at once, so the fuzzer plays those reads too.
constexpr std::chrono::milliseconds ida_y_vuelta{5};

// How long the library may go on waiting on a host that owes it replies and
// sends nothing: its bound, and the last wait it started before reaching it
// (half the bound), whatever else it waits for meanwhile.
Red::Reloj::duration callado_maximo(std::chrono::milliseconds plazo) {
    return plazo + plazo / 2 + std::chrono::seconds(1);
}

} // namespace

std::string estado(std::uint32_t id, std::uint32_t codigo, std::string_view texto) {
    return Paquete(sftp::STATUS).u32(id).u32(codigo).cadena(texto).cadena("").termina();
}

namespace {

// The library sent a request that does not parse: its own fault.
void mal_formado(bool bien) {
    if (!bien) {
        std::fputs("la biblioteca envió un pedido mal formado\n", stderr);
        std::abort();
    }
}

// Reads the fields of a request off its packet.
class Campos {
  public:
    explicit Campos(std::string_view p) : p_(p) {}
    std::uint32_t u32() {
        mal_formado(p_.size() >= 4);
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v = (v << 8) | static_cast<std::uint8_t>(p_[static_cast<std::size_t>(i)]);
        }
        p_.remove_prefix(4);
        return v;
    }
    std::uint64_t u64() {
        std::uint64_t alto = u32();
        return (alto << 32) | u32();
    }
    std::string cadena() {
        auto n = u32();
        mal_formado(p_.size() >= n);
        std::string s(p_.substr(0, n));
        p_.remove_prefix(n);
        return s;
    }

  private:
    std::string_view p_;
};

} // namespace

// Bytes of a file's version: different at every offset of every version, so a
// copy stitched from two versions is none of them.
std::string contenido(const std::string &ruta, std::size_t version, std::size_t largo) {
    std::uint64_t x = std::hash<std::string>{}(ruta)*0x9E3779B97F4A7C15u + version * 40503u + 1u;
    std::string bytes(largo, '\0');
    for (std::size_t i = 0; i < largo; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(bytes.data() + i, &x, std::min<std::size_t>(8, largo - i));
    }
    return bytes;
}

void Host::aborta(const char *que) const {
    for (const auto &suceso : relato) {
        std::fprintf(stderr, "%s\n", suceso.c_str());
    }
    std::fprintf(stderr, "NO SE CUMPLE: %s\n", que);
    std::abort();
}

void Host::quiza_cambia() {
    std::uint8_t b = decide.byte();
    if (b < 244 || archivos.empty()) {
        return;
    }
    auto it = std::next(archivos.begin(), static_cast<long>(decide.entre(archivos.size())));
    auto &[ruta, archivo] = *it;
    const Version anterior = archivo.actual();
    Version nueva{anterior.bytes, anterior.mtime + 1};
    const char *como = "tocado";
    switch (b % 4) {
    case 0:
        nueva.bytes = contenido(ruta, archivo.versiones.size(), anterior.bytes.size());
        como = "reescrito";
        break;
    case 1:
        nueva.bytes += contenido(ruta, archivo.versiones.size(), 1 + decide.byte() * 157u);
        como = "crecido";
        break;
    case 2:
        nueva.bytes.resize(anterior.bytes.size() / (2 + decide.entre(3)));
        como = "cortado";
        break;
    default: // same bytes, a new mtime
        break;
    }
    archivo.versiones.push_back(std::move(nueva));
    tropieza(ruta, std::string(como) + " (versión " + std::to_string(archivo.versiones.size() - 1) +
                       ", " + std::to_string(archivo.actual().bytes.size()) + " bytes)");
}

Canal::Canal(Host &host, Conexion &conexion, bool rechazado, std::size_t numero)
    : host_(host), conexion_(conexion), rechazado_(rechazado), numero_(numero),
      por_abrir_(static_cast<int>(host.decide.entre(3))) {}

bool Canal::roto() const {
    return roto_ || conexion_.muerta();
}

bool Canal::abierto() {
    if (rechazado_) {
        roto_ = true;
        host_.anota("  rechaza otro canal");
        falla(SOCKVOR_E_SFTP, "El host simulado rechazó otro canal SFTP");
    }
    return por_abrir_-- <= 0;
}

void Canal::cae(const std::string &accion, const char *por_que) {
    roto_ = true;
    ++host_.caidas;
    host_.anota(std::string("  ") + por_que);
    falla(SOCKVOR_E_CONEXION_PERDIDA,
          "Se perdió la conexión con el host simulado al " + accion + ": " + por_que);
}

void Canal::envia(std::string_view bytes, const std::string &accion) {
    if (roto()) {
        cae(accion, "canal ya roto");
    }
    entrada_.append(bytes);
    while (entrada_.size() >= 4) {
        Campos largo(entrada_);
        std::uint32_t n = largo.u32();
        if (entrada_.size() < 4 + n) {
            break;
        }
        std::string paquete = entrada_.substr(4, n);
        entrada_.erase(0, 4 + n);
        mal_formado(!paquete.empty());
        auto tipo = static_cast<std::uint8_t>(paquete[0]);
        Campos c(std::string_view(paquete).substr(1));
        if (tipo == sftp::INIT) {
            mal_formado(c.u32() == sftp::version);
            atendidos_.push_back(Paquete(sftp::VERSION).u32(sftp::version).termina());
            continue;
        }
        Pedido p{tipo, c.u32(), {}, {}};
        if (tipo == sftp::OPEN) {
            p.ruta = c.cadena();
        } else if (tipo == sftp::READ || tipo == sftp::FSTAT || tipo == sftp::CLOSE) {
            p.handle = c.cadena();
            if (tipo == sftp::READ) {
                p.desde = c.u64();
                p.largo = c.u32();
                mal_formado(p.largo > 0 && p.largo <= sftp::paquete_maximo);
            }
        }
        por_atender_.push_back(std::move(p));
    }
}

std::size_t Canal::recibe(sftp::Ensamblador &entrada, const std::string &accion) {
    exige(host_, ++host_.pasos < pasos_maximos, "la corrida termina en un número acotado de pasos");
    if (cerrado_) {
        roto_ = true;
        falla(SOCKVOR_E_CONEXION_PERDIDA, "El host simulado cerró un canal SFTP al " + accion);
    }
    if (roto()) {
        cae(accion, "canal ya roto");
    }
    if (salida_.empty()) {
        return 0;
    }
    std::size_t n = salida_.size();
    if (std::uint8_t b = host_.decide.byte(); b >= 224) {
        n = 1 + b % n; // a packet may come in pieces
    }
    entrada.agrega(std::string_view(salida_).substr(0, n));
    salida_.erase(0, n);
    host_.ultima_entrega = host_.reloj;
    return n;
}

bool Canal::trabaja(const std::string &accion, std::chrono::milliseconds paciencia) {
    if (atascado_) {
        return false;
    }
    // Requests are handled in the order they came, as a host must for those of
    // one file; a file may change between any two.
    while (!por_atender_.empty()) {
        host_.quiza_cambia();
        Pedido p = std::move(por_atender_.front());
        por_atender_.pop_front();
        atiende(p);
        if (host_.decide.byte() >= 192) {
            break; // some replies leave before later requests are handled
        }
    }
    if (atendidos_.empty()) {
        return false;
    }
    switch (host_.decide.byte()) {
    case 249:
        ++host_.caidas;
        host_.anota("  se atasca el canal " + std::to_string(numero_));
        atascado_ = true;
        return false;
    case 250:
        ++host_.caidas;
        host_.anota("  cierra un canal");
        cerrado_ = true;
        return true;
    case 251:
        conexion_.rompe();
        cae(accion, "el host cortó");
    case 252:
        ++host_.caidas;
        host_.anota("  un paquete sin marco");
        // Right behind a reply, in the same read: its handler runs (and may open
        // channels) in the very step that then finds the stream broken.
        suelta_una();
        salida_ += std::string(4, '\0');
        return true;
    case 253:
        ++host_.caidas;
        host_.anota("  una respuesta a nada");
        suelta_una();
        salida_ += estado(0x7fffffff, sftp::FX_OK);
        return true;
    case 254:
        ++host_.caidas;
        host_.anota("  silencio");
        host_.reloj += paciencia;
        return false;
    default:
        break;
    }
    suelta_una();
    return true;
}

// Replies leave in any order.
void Canal::suelta_una() {
    auto i = host_.decide.entre(atendidos_.size());
    salida_ += atendidos_[i];
    atendidos_.erase(atendidos_.begin() + static_cast<long>(i));
}

std::unique_ptr<Transporte> Conexion::otro_canal() {
    if (muerta_) {
        return nullptr;
    }
    std::size_t vivos = 0;
    for (const auto *c : canales_) {
        vivos += !c->roto();
    }
    auto c =
        std::make_unique<Canal>(host_, *this, vivos >= host_.canales_maximos, canales_.size() + 1);
    canales_.push_back(c.get());
    return c;
}

bool Conexion::espera(std::chrono::milliseconds paciencia, const std::string &accion) {
    exige(host_, ++host_.pasos < pasos_maximos, "la corrida termina en un número acotado de pasos");
    if (muerta_) {
        falla(SOCKVOR_E_CONEXION_PERDIDA,
              "Se perdió la conexión con el host simulado al " + accion);
    }
    std::vector<Canal *> ocupados;
    bool debe = false; // replies the library is owed
    for (auto *c : canales_) {
        debe = debe || c->ocupado();
        if (c->ocupado() && !c->atascado()) {
            ocupados.push_back(c);
        }
    }
    exige(host_, !debe || host_.reloj - host_.ultima_entrega <= callado_maximo(plazo()),
          "no se espera sin fin a un host callado");
    if (ocupados.empty()) {
        host_.reloj += paciencia;
        return false;
    }
    host_.reloj += ida_y_vuelta;
    return ocupados[host_.decide.entre(ocupados.size())]->trabaja(accion, paciencia);
}

} // namespace sockvor::simulacion
