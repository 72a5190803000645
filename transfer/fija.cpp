// FijaDeposito: the deposit folder, told before the library reaches any host.
#include "encierro/encierro.h"
#include "frontera.h"

SOCKVOR_EXPORTA int FijaDeposito(const char *carpeta) {
    if (!carpeta) {
        return SOCKVOR_E_ARGUMENTO;
    }
    char error[SOCKVOR_TAM_ERROR];
    return sockvor::frontera(error, [&] {
        sockvor::conoce_deposito(carpeta);
        return SOCKVOR_OK;
    });
}
