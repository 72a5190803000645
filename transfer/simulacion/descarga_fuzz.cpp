// The library's fetch of a few listed files, one after another as the command
// asks for them, against a host played inside the process (host_simulado.h)
// whose every answer the fuzzer's bytes choose. After each run it checks what
// must always hold:
// - a file made final is byte for byte one version the host's file had whole,
//   and its repeat-run record names that version;
// - a file is made final only in its turn, never before the command asks;
// - a failure is told in the turn of a file the host did something wrong to,
//   or of a stream that failed meanwhile, never of an innocent one;
// - no temporary file is left once the run is over;
// - the run ends within a bounded number of steps (the played host counts).
#include "deposito/origen.h"
#include "simulacion/host_simulado.h"
#include "sockvor.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/xattr.h>

namespace fs = std::filesystem;
using namespace sockvor;
using namespace sockvor::simulacion;

namespace {

// Whom the deposits' records name.
const std::string ip = "simulado";
const std::string login = "x1";

const std::string &carpeta();

void quita_carpeta() {
    std::error_code ignorado;
    fs::remove_all(carpeta(), ignorado);
}

// One for the process, made at its first run and removed when it exits, after the
// library's own exit handlers (registered later, run first) have synced it.
const std::string &carpeta() {
    // Never destroyed: quita_carpeta() needs it after static destructors may have run.
    static const auto *c = new std::string([] {
        // Memory, where it can: a flush there costs nothing, and runs are many.
        fs::path base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
        std::string plantilla = (base / "simulacion-XXXXXX").string();
        if (!::mkdtemp(plantilla.data()) || std::atexit(quita_carpeta) != 0) {
            std::abort();
        }
        return plantilla;
    }());
    return *c;
}

std::string lee(const std::string &ruta) {
    std::ifstream f(ruta, std::ios::binary | std::ios::ate);
    std::string bytes(static_cast<std::size_t>(std::max<std::streamoff>(f.tellg(), 0)), '\0');
    f.seekg(0);
    f.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

std::size_t largo_inicial(Decisiones &d) {
    if (d.byte() == 255) {
        return (4u << 20) + d.byte() * 4099u; // large enough to be read over several channels
    }
    switch (d.entre(4)) {
    case 0:
        return d.byte() % 40;
    case 1:
        return 32768 - 2 + d.entre(5); // around one read
    case 2:
        return 1 + d.byte() * 30u;
    default:
        return 1 + (d.byte() << 8 | d.byte()) * 5u; // up to some 320 KiB
    }
}

struct Plan {
    std::map<std::string, Archivo> archivos;
    std::vector<Listado> listados;
};

// The listing's view of each file, fresh or not: a file may change after it.
Plan planea(Decisiones &d, std::map<std::string, int> &tropiezos) {
    Plan p;
    std::size_t cuantos = 1 + d.entre(4);
    for (std::size_t i = 0; i < cuantos; ++i) {
        std::string nombre = "a" + std::to_string(i) + "_201306.xml";
        std::string ruta = "/D:/IDE/x1/Acuses/" + nombre;
        std::size_t largo = largo_inicial(d);
        Archivo a;
        a.versiones.push_back({contenido(ruta, 0, largo), 1370000000u + static_cast<unsigned>(i)});
        Medida listada{a.actual().bytes.size(), a.actual().mtime};
        switch (d.entre(4)) {
        case 1:
            listada = {};
            break;
        case 2:
            listada.mtime.reset();
            break;
        case 3: // changed after the listing
            a.versiones.push_back({a.actual().bytes + "z", a.actual().mtime + 7});
            ++tropiezos[ruta];
            break;
        default:
            break;
        }
        p.listados.push_back({ruta, nombre, listada});
        p.archivos.emplace(ruta, std::move(a));
    }
    return p;
}

// A final copy must be one whole version, recorded as that version.
void revisa_final(const Host &host, const std::string &local, const std::string &ruta,
                  const Archivo &a) {
    std::string copia = lee(local);
    const Version *cual = nullptr;
    for (const auto &v : a.versiones) {
        if (v.bytes == copia) {
            cual = &v;
        }
    }
    exige(host, cual != nullptr, "la copia es una versión entera del archivo");
    char texto[256];
    auto n = ::getxattr(local.c_str(), atributo_origen, texto, sizeof texto);
    if (n > 0) {
        auto o = lee_origen(std::string_view(texto, static_cast<std::size_t>(n)));
        exige(host, o.has_value(), "el registro se lee");
        bool de_esa = false;
        for (const auto &v : a.versiones) {
            Procedencia p{clave_de(ip, login, ruta), {copia.size(), v.mtime}};
            de_esa = de_esa || (v.bytes == copia && o->remota == remota_de(p));
        }
        exige(host, de_esa, "el registro nombra la versión copiada");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *datos, std::size_t largo) {
    Decisiones d(datos, largo);
    std::map<std::string, int> tropiezos;
    Plan plan = planea(d, tropiezos);
    Host host(d, plan.archivos);
    host.tropiezos = tropiezos;
    host.canales_maximos = 1 + d.entre(Canales::maximo);
    std::size_t pedidos = 1 + d.entre(Canales::maximo);
    for (const auto &l : plan.listados) {
        const auto &a = host.archivos.at(l.ruta);
        host.anota("archivo " + l.ruta + ": " + std::to_string(a.versiones[0].bytes.size()) +
                   " bytes; listado con " +
                   (l.medida.tamano ? std::to_string(*l.medida.tamano) : "?") + " bytes" +
                   (l.medida.mtime ? "" : ", sin mtime") +
                   (a.versiones.size() > 1 ? "; cambió después" : ""));
    }
    {
        Destino destino([&] { return std::make_unique<simulacion::Sesion>(host); }, ip, login);
        destino.anticipo.planea(plan.listados);
        bool reusada = false;
        std::size_t hechos = 0;
        // A stream fault the host makes once the file in turn is whole may be
        // read only in the next turn: how far the wait for its flush reads on
        // depends on the disk, not on the host. One made while connecting may
        // likewise be read only in the first turn.
        int caidas = host.caidas;
        try {
            // The listing's, which the first file finds open; channels asked for as
            // a plan of many files would, whatever the host grants.
            sesion(destino, reusada).canales().quiere(pedidos);
        } catch (const Fallo &f) {
            host.anota("FALLA AL CONECTAR: " + f.texto);
            exige(host, host.caidas > 0, "solo un canal que falla impide conectar");
            plan.listados.clear();
        }
        for (const auto &l : plan.listados) {
            std::string local = carpeta() + "/" + l.nombre;
            host.anota("TURNO DE " + l.ruta);
            int previa = host.caidas;
            try {
                con_sesion(destino, [&](sockvor::Sesion &s, Anticipo &a) {
                    a.trae(s.canales(), l.ruta, local);
                });
            } catch (const Fallo &f) {
                host.anota("FALLA " + l.ruta + " (" + std::to_string(f.codigo) + "): " + f.texto);
                exige(host, f.codigo != SOCKVOR_E_INTERNO, "ninguna falla interna");
                exige(host, host.tropiezos[l.ruta] > 0 || host.caidas > caidas,
                      "una falla es del archivo en turno o del canal");
                exige(host, host.caidas > caidas || f.texto.find(l.ruta) != std::string::npos,
                      "con el canal sano, la falla nombra su archivo");
                exige(host, !fs::exists(local), "un archivo que falla no queda con su nombre");
                break;
            }
            host.anota("DEPOSITADO " + l.ruta);
            caidas = previa;
            revisa_final(host, local, l.ruta, host.archivos.at(l.ruta));
            ++hechos;
            for (std::size_t j = hechos; j < plan.listados.size(); ++j) {
                exige(host, !fs::exists(carpeta() + "/" + plan.listados[j].nombre),
                      "nada queda con su nombre antes de su turno");
            }
        }
        descarta(destino);
        destino.anticipo.abandona();
        std::size_t quedan = 0;
        for (const auto &e : fs::directory_iterator(carpeta())) {
            exige(host, e.path().filename().string().front() != '.',
                  "no queda ningún archivo temporal");
            ++quedan;
        }
        exige(host, quedan == hechos, "solo quedan los archivos depositados");
    }
    for (const auto &e : fs::directory_iterator(carpeta())) {
        fs::remove(e.path());
    }
    return 0;
}
