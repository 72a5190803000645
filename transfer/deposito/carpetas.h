// The folders that received a deposit's rename and are not on disk yet: each is synced
// with the next batch of files put on disk (asegurador.h), by a deposit once the oldest
// note is a few seconds old, at exit whatever the status, and when a TERM, INT or HUP
// ends the process.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace sockvor {

// Holds a descriptor of `carpeta` for the life of the process, before anything is made
// in it: a signal's handler syncs the folders held with nothing but fsync.
void sostiene_carpeta(const std::string &carpeta);

// Notes that `carpeta` received a rename. False when the folders must be synced now
// rather than later: the oldest note is old, a batch could not sync one, or `carpeta`
// is not held.
bool anota_carpeta(const std::string &carpeta);

// Takes the folders noted so far, for a batch to sync; a failure goes to guarda_falla().
std::set<std::string> toma_carpetas();
// Syncs one folder: empty, or the text of its failure.
std::string sincroniza_carpeta(const std::string &carpeta);
void guarda_falla(std::string texto);

// Syncs every folder noted since it was last synced and returns a text for each that
// failed, here or in a batch since the last call. Runs by itself when the process exits;
// a failure there is printed on standard error and the process ends with status 4.
std::vector<std::string> asegura_carpetas();

// Syncs every folder held. Async-signal-safe: for the handler of a signal that ends the
// process, once it has removed the temporary files.
void sincroniza_sostenidas() noexcept;

} // namespace sockvor
