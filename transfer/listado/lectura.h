// One read of a remote folder: every entry it holds, handed over as its batch
// arrives and then forgotten, so memory does not grow with the folder.
//
// SFTP version 3 filters nothing on the host: a folder of a hundred thousand
// names is a hundred thousand names to send, in batches of about a hundred (an
// OpenSSH server, Windows' included, sends at most 100 per READDIR). Each
// READDIR asks for the next batch, whichever comes first, so many can be in
// flight on the handle at once; they are kept so, growing as answers come, up
// to enough bytes of answers to cover a far link while the host works, so
// that far away the round trips hide behind the host's own work.
#pragma once

#include "sftp/canales.h"
#include "sftp/mensajes.h"

#include <cstddef>
#include <functional>
#include <string>

namespace sockvor::listado {

// READDIRs in flight: how many to start with near and far, and how many bytes
// of answers they may stand for at most. Far away, 2 MiB of answers of ~150
// bytes a name is ~14,000 names a round trip: a host that lists 70,000 names a
// second is kept busy up to 200 ms away. Half the 4 MiB a channel's window
// holds, whatever the batches' size; and never so many requests that the
// answers past the end (each an end of list) cost the host anything. Far away
// it starts at 64: a host that stats some 200,000 names a second answers 80
// batches of 100 in a 40 ms round trip, so starting at 16 left it idle for the
// first round trips (50,000 names of history cost 0.31-0.38 s at 40 ms against
// 0.26 s close by; 0.27-0.28 s from 64), and a small folder's 63 ends of list
// cost nothing noticeable.
struct Ritmo {
    static constexpr std::size_t al_empezar = 4;
    static constexpr std::size_t al_empezar_lejos = 64;
    static constexpr std::size_t bytes_en_vuelo = 2u << 20;
    static constexpr std::size_t maximo = 256;
};

// A folder is read whole or not at all: past this many names without its end
// the host is taken to list without end, and the read fails rather than
// running for ever. A folder that gains a hundred Acuses a working day holds
// some 25,000 after a year.
constexpr std::size_t nombres_maximos = std::size_t{1} << 24;

// Reads `carpeta` (SFTP form) on one channel of `canales`, calling `cada` on
// every entry. Throws the listing's failure (SOCKVOR_E_CARPETA naming the
// folder and host) when the folder cannot be opened or a batch fails: a read
// that did not reach the end is never taken for the whole folder.
void lee_carpeta(Canales &canales, const std::string &carpeta,
                 const std::function<void(const sftp::Entrada &)> &cada);

} // namespace sockvor::listado
