// The temporary files deposits are written to, ".<name>.sockvor-XXXXXX" beside
// their destination, and what removes them when a run cannot: a handler for the
// signals that end a run (TERM, INT, HUP), which then syncs the folders deposited
// in (carpetas.h), and, for a run killed outright or a power cut, the next run,
// before it fetches the same name.
//
// A live temporary file is held under an exclusive flock(2) by the process
// writing it; a file of that shape that nobody holds is a leftover.
#pragma once

#include <string>
#include <string_view>

namespace sockvor {

// Where a temporary file for `nombre` in `carpeta` is made (mkostemp's form).
std::string plantilla_temporal(const std::string &carpeta, std::string_view nombre);

// Makes a new file from `plantilla`, its Xs replaced, as mkostemp does (never
// someone else's file: O_EXCL), but with the mode a new file gets from the
// umask: nothing changes its mode afterwards, which a confined process may no
// longer do. The file is noted at once, so that a TERM, INT or HUP removes it
// before the process ends with that signal: those signals are held back from
// its creation to its note. The handlers go in with the first file, and only
// for signals whose disposition is still the default. Returns the descriptor,
// or -1 with errno; `anotado` is the slot to forget the file by, or -1 when all
// slots are taken (the next run removes it then).
int crea_temporal(std::string &plantilla, int &anotado);

// Removes this library's leftover temporary files for `nombre` in `carpeta`:
// regular files of our own user that no process holds. Nothing else.
void quita_sobrantes(const std::string &carpeta, std::string_view nombre);

// The file is renamed or removed: a signal leaves it alone.
void olvida_temporal(int slot);
// Removes every noted temporary file now: for an exit that skips the usual teardown.
void quita_temporales_anotados();

} // namespace sockvor
