// libssh reads ConnectTimeout, IdentityFile and IdentityAgent into its session
// but offers no way to read them back, and the watchdog and the key holder need
// them, so they are read here as OpenSSH would: from the Host blocks matching
// the name as given. So is Ciphers, whose "+", "-" and "^" forms libssh 0.10
// does not know.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sockvor {

// The first argument of every `palabra` line (any case) that applies to `host`,
// in order. Match blocks are skipped (their conditions are not evaluated) and
// Include is not followed.
std::vector<std::string> valores(std::string_view configuracion, std::string_view host,
                                 std::string_view palabra);
// The same from a file; nothing if it cannot be read.
std::vector<std::string> valores_de_archivo(const std::string &ruta, std::string_view host,
                                            std::string_view palabra);

struct ValorConfigurado {
    std::string valor;
    std::string archivo; // the configuration file it was read from
};

// The first value of `palabra` for `host` in the user's configuration file, else in the
// system's.
std::optional<ValorConfigurado> primer_valor_configurado(const std::string &config_usuario,
                                                         const std::string &config_sistema,
                                                         std::string_view host,
                                                         std::string_view palabra);

// Seconds of ConnectTimeout for `host` in the configuration text: its first
// value, if valid.
std::optional<int> connect_timeout(std::string_view configuracion, std::string_view host);

std::optional<int> connect_timeout_de_archivo(const std::string &ruta, std::string_view host);

// The bound for connecting and for every stalled call: ConnectTimeout for `host` in the
// user's configuration file, else in the system's, else 30 s.
std::chrono::seconds plazo_de_conexion(const std::string &config_usuario,
                                       const std::string &config_sistema, std::string_view host);
// Whether `host` matches a list of OpenSSH host patterns ('*', '?', compared
// without regard to case): some pattern matches and no negated one ("!pattern") does.
bool coincide_patrones(const std::vector<std::string_view> &patrones, std::string_view host);

} // namespace sockvor
