// The ciphers offered to the host, most preferred first: the host takes the first
// of ours it also offers. Where this machine's processor has AES instructions,
// AES-GCM costs both ends less CPU than chacha20-poly1305, libssh's first choice,
// and a Windows host's server offers both; a configuration's Ciphers line still
// decides, read as OpenSSH reads it.
#pragma once

#include <string>
#include <string_view>

namespace sockvor {

// Whether the processor has the AES and carry-less multiply instructions AES-GCM runs
// on. SOCKVOR_AES=1 or 0 answers instead, for the tests.
bool procesador_con_aes();

// The list offered when the configuration sets no Ciphers, comma-separated as libssh
// takes it: every cipher libssh 0.10 offers by default, with the two AES-GCM ones first
// when `aes`.
std::string cifrados_por_omision(bool aes);

// What a Ciphers value makes of that default, as OpenSSH's client reads it: a list
// replaces it, "+list" appends what it lacks, "-patterns" removes what they match
// ('*', '?', "!pattern"), "^list" puts the list at its head. Throws Fallo
// (SOCKVOR_E_CONFIG), naming `archivo` and `host`, when the value names a cipher
// neither knows or leaves none.
std::string cifrados_configurados(std::string_view valor, bool aes, const std::string &archivo,
                                  const std::string &host);

} // namespace sockvor
