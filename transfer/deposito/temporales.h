// The temporary files deposits are written to, ".<name>.sockvor-XXXXXX" beside
// their destination, and what removes them when a run cannot: a handler for the
// signals that end a run (TERM, INT, HUP), and, for a run killed outright or a
// power cut, the next run, before it fetches the same name.
//
// A live temporary file is held under an exclusive flock(2) by the process
// writing it; a file of that shape that nobody holds is a leftover.
#pragma once

#include <csignal>
#include <string>
#include <string_view>

namespace sockvor {

// Where a temporary file for `nombre` in `carpeta` is made (mkostemp's form).
std::string plantilla_temporal(const std::string &carpeta, std::string_view nombre);

// Makes a new file from `plantilla`, its Xs replaced, as mkostemp does (never
// someone else's file: O_EXCL), but with the mode a new file gets from the
// umask: nothing changes its mode afterwards, which a confined process may no
// longer do. The descriptor, or -1 with errno.
int crea_temporal(std::string &plantilla);

// Removes this library's leftover temporary files for `nombre` in `carpeta`:
// regular files of our own user that no process holds. Nothing else.
void quita_sobrantes(const std::string &carpeta, std::string_view nombre);

// Notes a temporary file so a TERM, INT or HUP removes it before the process
// ends with that signal. The handlers go in with the first note, and only for
// signals whose disposition is still the default. Returns the slot to forget it
// by, or -1 when all slots are taken (the next run removes it then).
int anota_temporal(const std::string &ruta);
void olvida_temporal(int slot);
// Removes every noted temporary file now: for an exit that skips the usual teardown.
void quita_temporales_anotados();

// Holds back the signals whose handlers remove the noted temporary files while it
// lives, so that none ends the process between a temporary file's creation and its
// note: that file would be left behind. The handlers go in first.
class SenalesRetenidas {
  public:
    SenalesRetenidas();
    ~SenalesRetenidas();
    SenalesRetenidas(const SenalesRetenidas &) = delete;
    SenalesRetenidas &operator=(const SenalesRetenidas &) = delete;

  private:
    sigset_t antes_;
};

// Keeps the library's own threads from taking the process's signals, so the
// handlers run on a thread that owns what they look at.
void bloquea_senales_en_este_hilo();

} // namespace sockvor
