// A scripted transfer library for the command's tests. It is built as
// libSockVor.so in a folder of its own and put first with LD_LIBRARY_PATH, so
// the real program loads it through the same dynamic seam as the real library.
//
// SOCKVOR_GUION names a script; each line answers the next call of one function:
//   lista RC TEXT         ListaFolders returns RC; TEXT goes to the list (RC 0) or the error
//   lista-crudo RC TEXT   the same, without writing a terminator
//   lista-lleno RC TEXT   TEXT, then the rest of the buffer filled, no terminator anywhere
//   trae RC TEXT          RecibeArchivo returns RC, with TEXT as the error when RC is not 0
//   trae-lleno RC TEXT    the same, with the whole error buffer filled, no terminator
// TEXT takes C escapes (\n, \t, \\, \xNN). Calls beyond the script: ListaFolders
// answers -55 and RecibeArchivo succeeds. A successful RecibeArchivo writes the
// remote path into the local file, unless SOCKVOR_SOLO_REGISTRO is set.
// SOCKVOR_REGISTRO names a file that gets one line per call: the function and
// its arguments, tab-separated, with tabs, newlines and control bytes escaped.
#include "sockvor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Respuesta {
    std::string verbo;
    int rc = 0;
    std::string texto;
};

std::string desescapa(const std::string &s) {
    std::string r;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            r += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'n')
            r += '\n';
        else if (c == 't')
            r += '\t';
        else if (c == 'x' && i + 2 < s.size()) {
            r += static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else
            r += c;
    }
    return r;
}

std::string escapa(const char *s) {
    std::string r;
    for (; *s; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c == '\\')
            r += "\\\\";
        else if (c < 0x20 || c == 0x7f) {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            r += b;
        } else
            r += static_cast<char>(c);
    }
    return r;
}

std::vector<Respuesta> carga(const char *prefijo) {
    std::vector<Respuesta> r;
    const char *ruta = std::getenv("SOCKVOR_GUION");
    if (ruta == nullptr)
        return r;
    std::ifstream guion(ruta);
    std::string linea;
    while (std::getline(guion, linea)) {
        Respuesta a;
        std::size_t e1 = linea.find(' ');
        a.verbo = linea.substr(0, e1);
        if (a.verbo.rfind(prefijo, 0) != 0)
            continue;
        std::size_t e2 = linea.find(' ', e1 + 1);
        a.rc = std::atoi(linea.substr(e1 + 1, e2 - e1 - 1).c_str());
        a.texto = e2 == std::string::npos ? "" : desescapa(linea.substr(e2 + 1));
        r.push_back(a);
    }
    return r;
}

// Each function consumes its own lines of the script, in order.
bool siguiente(const char *prefijo, std::size_t &turno, Respuesta &a) {
    static const std::vector<Respuesta> listas = carga("lista");
    static const std::vector<Respuesta> traes = carga("trae");
    const std::vector<Respuesta> &todas = prefijo[0] == 'l' ? listas : traes;
    if (turno >= todas.size())
        return false;
    a = todas[turno++];
    return true;
}

void registra(const char *funcion, const char *a, const char *b, const char *c, const char *d) {
    const char *ruta = std::getenv("SOCKVOR_REGISTRO");
    if (ruta == nullptr)
        return;
    std::ofstream reg(ruta, std::ios::app);
    reg << funcion << '\t' << escapa(a) << '\t' << escapa(b) << '\t' << escapa(c) << '\t'
        << escapa(d) << '\n';
}

// Writes TEXT as the verb asks: terminated, bare, or filling the whole buffer.
void escribe(const Respuesta &a, char *destino, std::size_t tam) {
    std::size_t n = std::min(a.texto.size(), tam);
    std::memcpy(destino, a.texto.data(), n);
    if (a.verbo.ends_with("-lleno"))
        std::memset(destino + n, 'A', tam - n);
    else if (!a.verbo.ends_with("-crudo") && n < tam)
        destino[n] = '\0';
}

} // namespace

extern "C" int ListaFolders(const char *ip, const char *login, const char *tipo, const char *patron,
                            char *lista, char *error) {
    static std::size_t turno = 0;
    registra("ListaFolders", ip, login, tipo, patron);
    Respuesta a;
    if (!siguiente("lista", turno, a))
        return SOCKVOR_NO_ENCONTRADO;
    if (a.rc == 0)
        escribe(a, lista, SOCKVOR_TAM_LISTA);
    else if (a.rc != SOCKVOR_NO_ENCONTRADO)
        escribe(a, error, SOCKVOR_TAM_ERROR);
    return a.rc;
}

extern "C" int RecibeArchivo(const char *ip, const char *login, const char *remoto,
                             const char *local, char *error) {
    static std::size_t turno = 0;
    registra("RecibeArchivo", ip, login, remoto, local);
    Respuesta a;
    if (siguiente("trae", turno, a) && a.rc != 0) {
        escribe(a, error, SOCKVOR_TAM_ERROR);
        return a.rc;
    }
    if (std::getenv("SOCKVOR_SOLO_REGISTRO") == nullptr) {
        std::ofstream archivo(local);
        archivo << remoto << '\n';
        if (!archivo) {
            std::snprintf(error, SOCKVOR_TAM_ERROR, "no se pudo escribir %s", local);
            return SOCKVOR_E_LOCAL;
        }
    }
    return 0;
}
