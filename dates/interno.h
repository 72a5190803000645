// What the date routines share and nothing else sees. The routines call one
// another through the inline versions in calendario.h and texto.h, which do
// exactly what the exported routine of the same name does, marker included:
// no call, no trip through the shared library's symbol table.
#pragma once

#include "fechas.h"

#include <cstdint>
#include <cstring>

#pragma GCC visibility push(hidden)
namespace fechas_interno {

// Every date routine names itself here first, so that after a failure the
// marker tells which routine was entered last.
inline void marca(const char *texto) {
    std::strcpy(marca_rutina, texto);
}

} // namespace fechas_interno
#pragma GCC visibility pop
