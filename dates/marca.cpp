#include "fechas.h"

char marca_rutina[512];
