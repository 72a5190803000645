// The FUSE side of the simulator: each request of the kernel answered from the
// Memoria passed to the session as its user data.
#pragma once

#include "memoria.h"

#include <fuse_lowlevel.h>

namespace corte {

const fuse_lowlevel_ops &operaciones();

} // namespace corte
