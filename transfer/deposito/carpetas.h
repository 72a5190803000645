// The folders that received a deposit's rename and are not on disk yet: each is synced
// with the next batch of files put on disk (asegurador.h), by a deposit once the oldest
// note is a few seconds old, and at exit, whatever the status.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace sockvor {

// Notes that `carpeta` received a rename. False when the folders must be synced now
// rather than later: the oldest note is old, or a batch could not sync one.
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

} // namespace sockvor
