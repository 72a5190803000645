// Drives the real run with a stand-in library whose first listing answers the
// fuzzed bytes, and checks every fetch the walk asks for: the name is a piece of
// the list ending in "xml", names no other folder, and both paths are built
// from it whole.
#include "acuses.h"
#include "sockvor.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

std::string_view lista_dada;
int listados;
std::size_t fetch_fallido; // the fetch that fails, 0 for none
std::size_t fetches;

const char kDeposito[] = "/deposito";

void exige(bool condicion) {
    if (!condicion)
        std::abort();
}

} // namespace

extern "C" int ListaFolders(const char *, const char *login, const char *tipo, const char *patron,
                            char *lista, char *) {
    exige(std::strcmp(tipo, "d") == 0);
    exige(std::string_view(patron).starts_with(std::string("D:\\IDE\\") + login + "\\Acuses\\*"));
    if (listados++ > 0)
        return SOCKVOR_NO_ENCONTRADO;
    // No terminator of our own: the command must bound what it reads.
    std::memcpy(lista, lista_dada.data(),
                std::min<std::size_t>(lista_dada.size(), SOCKVOR_TAM_LISTA));
    return 0;
}

extern "C" int RecibeArchivo(const char *, const char *login, const char *remoto, const char *local,
                             char *error) {
    std::string_view nombre(local);
    exige(nombre.starts_with(std::string(kDeposito) + "/"));
    nombre.remove_prefix(sizeof kDeposito);
    exige(nombre.ends_with("xml"));
    exige(nombre.find_first_of("/\\") == std::string_view::npos);
    exige(lista_dada.find(nombre) != std::string_view::npos);
    exige(remoto == std::string("D:\\IDE\\") + login + "\\Acuses\\" + std::string(nombre));
    if (++fetches == fetch_fallido) {
        std::strcpy(error, "falla");
        return SOCKVOR_E_REMOTO;
    }
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The run prints a line per month; keep the fuzzer's own output readable.
    return std::freopen("/dev/null", "w", stdout) != nullptr ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *datos, std::size_t tam) {
    if (tam == 0)
        return 0;
    fetch_fallido = datos[0] % 4;
    lista_dada = std::string_view(reinterpret_cast<const char *>(datos) + 1, tam - 1);
    listados = 0;
    fetches = 0;
    char programa[] = "acuses", ip[] = "h", login[] = "x1", deposito[] = "/deposito/";
    char *argv[] = {programa, ip, login, deposito, nullptr};
    int estado = acuses(4, argv);
    exige(estado == 0 || estado == 4);
    return 0;
}
