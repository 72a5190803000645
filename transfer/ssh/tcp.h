// The TCP connection under the SSH session. Our own connect, so the watchdog
// knows the socket from the first byte on and a host that never answers the
// SYN is bounded like any other call.
#pragma once

#include "recursos.h"

#include <chrono>
#include <string>

namespace sockvor {

// "alias (name:port)" when the configuration made the address `ip` something else.
std::string nombra(const std::string &ip, const std::string &host, unsigned puerto);

// A blocking socket connected to `host`:`puerto` within `plazo`, trying each
// address the name resolves to; throws Fallo naming `ip`, the caller's address.
Descriptor conecta_tcp(const std::string &ip, const std::string &host, unsigned puerto,
                       std::chrono::milliseconds plazo);

} // namespace sockvor
