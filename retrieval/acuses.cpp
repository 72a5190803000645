// Fetches the acknowledgments of this month and of the month before from the
// host through the transfer library, into the deposit folder.
//
// Exit statuses: 0 done, 1 wrong arguments, 3 a listing failed, 4 a fetch failed.
// The first failure ends the run; files already deposited stay.
#include "acuses.h"

#include "fechas.h"
#include "sockvor.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <string_view>
#include <vector>

namespace {

enum Salida { kHecho = 0, kUso = 1, kFallaLista = 3, kFallaTrae = 4 };

constexpr const char *kTextoUso = "Uso: %s    ipRemota  loginRemoto, rutaDespositoAcuse\n";

// Composed texts have no length limit: the library always receives the whole text.
std::string formatea(const char *formato, ...) {
    std::va_list args;
    va_start(args, formato);
    std::va_list copia;
    va_copy(copia, args);
    int largo = std::vsnprintf(nullptr, 0, formato, copia);
    va_end(copia);
    std::string texto(largo > 0 ? static_cast<std::size_t>(largo) : 0, '\0');
    std::vsnprintf(texto.data(), texto.size() + 1, formato, args);
    va_end(args);
    return texto;
}

// A listed name is joined to the deposit folder; one that names another folder
// could make the library write outside it.
bool nombre_seguro(std::string_view nombre) {
    return nombre != "." && nombre != ".." && nombre.find_first_of("/\\") == std::string_view::npos;
}

// Shows a hostile name on one line: control characters become escapes.
std::string visible(std::string_view nombre) {
    std::string texto;
    for (unsigned char c : nombre) {
        if (c < 0x20 || c == 0x7f)
            texto += formatea("\\x%02x", c);
        else
            texto += static_cast<char>(c);
    }
    return texto;
}

struct Corrida {
    const char *ip;
    const char *login;
    std::string deposito;
    std::int32_t depositados = 0;
    // The library fills these; both are cleared before and terminated after every
    // call, so one that forgets the terminator cannot make us read past them.
    std::vector<char> lista = std::vector<char>(SOCKVOR_TAM_LISTA);
    char error[SOCKVOR_TAM_ERROR] = {};

    void limpia_lista() { std::memset(lista.data(), 0, lista.size()); }
    void termina_lista() { lista.back() = '\0'; }
    void limpia_error() { std::memset(error, 0, sizeof error); }
    void termina_error() { error[sizeof error - 1] = '\0'; }
};

int lista_mes(Corrida &c, std::int32_t anio, std::int32_t mes) {
    std::string patron = formatea("D:\\IDE\\%s\\Acuses\\*%4d%02d*.xml", c.login, anio, mes);
    c.limpia_lista();
    c.limpia_error();
    int r = ListaFolders(c.ip, c.login, "d", patron.c_str(), c.lista.data(), c.error);
    c.termina_lista();
    c.termina_error();
    return r;
}

int trae(Corrida &c, const char *nombre) {
    if (!nombre_seguro(nombre)) {
        std::printf(" ERROR Al Traer el Acuses: se rechaza el nombre \"%s\": podría escribir "
                    "fuera de la carpeta de depósito\n",
                    visible(nombre).c_str());
        return kFallaTrae;
    }
    std::string local = c.deposito + "/" + nombre;
    std::string remoto = formatea("D:\\IDE\\%s\\Acuses\\%s", c.login, nombre);
    // The name points into the list, which must survive the call.
    c.limpia_error();
    int r = RecibeArchivo(c.ip, c.login, remoto.c_str(), local.c_str(), c.error);
    c.termina_error();
    if (r != 0) {
        std::printf(" ERROR Al Traer el Acuses: %s\n", c.error);
        return kFallaTrae;
    }
    ++c.depositados;
    return kHecho;
}

// Each name runs up to and including its first lowercase "xml"; the one
// character after it is the separator. The walk is bounded by the length the
// list had before it began writing terminators into it.
int trae_lista(Corrida &c) {
    char *lista = c.lista.data();
    const std::size_t largo = std::strlen(lista);
    char *cursor = lista;
    for (;;) {
        char *fin = std::strstr(cursor, "xml");
        if (fin == nullptr)
            return kHecho;
        fin += 3;
        *fin = '\0';
        if (int r = trae(c, cursor); r != kHecho)
            return r;
        cursor = fin + 1;
        if (static_cast<std::size_t>(cursor - lista) >= largo)
            return kHecho;
    }
}

// Our library confines the process to the deposit folder from here on, before it reads
// a byte from the host, and seals it once the host accepted the user; a site's own
// library need not offer this, and runs as it always did.
void avisa_deposito(const std::string &deposito) {
    using Fija = int (*)(const char *);
    if (auto fija = reinterpret_cast<Fija>(dlsym(RTLD_DEFAULT, "FijaDeposito"))) {
        fija(deposito.c_str());
    }
}

} // namespace

int acuses(int argc, char **argv) {
    // Every line reaches the operator even if the library brings the process down.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc != 4) {
        std::printf(kTextoUso, argc > 0 && argv[0] != nullptr ? argv[0] : "acuses");
        return kUso;
    }
    Corrida c{argv[1], argv[2], argv[3]};
    if (!c.deposito.empty() && c.deposito.back() == '/')
        c.deposito.pop_back();

    std::int32_t hoy[3];
    fechoyarr(hoy);
    std::int32_t mes = hoy[1];
    std::int32_t anio = hoy[2];
    avisa_deposito(c.deposito);

    for (int pasada = 0; pasada < 2; ++pasada) {
        int r = lista_mes(c, anio, mes);
        if (r == SOCKVOR_NO_ENCONTRADO) {
            std::printf(" ===> No se encontraron Acuses del mes: %02d/%d\n", mes, anio);
        } else if (r != 0) {
            std::printf(" ERROR Al Buscar Acuses: %s\n", c.error);
            return kFallaLista;
        } else if (int t = trae_lista(c); t != kHecho) {
            return t;
        }
        if (--mes <= 0) {
            mes = 12;
            --anio;
        }
    }
    std::printf(" Se Depositaron %d Acuses en %s\n", c.depositados, c.deposito.c_str());
    return kHecho;
}
