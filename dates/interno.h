// Helpers shared by the date routines and by nothing else.
#pragma once

#include "fechas.h"

#include <cstring>

// Every date routine names itself here first, so that after a failure the
// marker tells which routine was entered last.
inline void marca(const char *texto) { std::strcpy(marca_rutina, texto); }
