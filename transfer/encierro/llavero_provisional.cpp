#include "encierro/encierro.h"

namespace sockvor {

void encierra_llavero() {}

} // namespace sockvor
