// The power-cut simulator (corte_fs) mounted at a folder of its own while this lives.
#pragma once

#include "proceso.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

class Montaje {
  public:
    Montaje(const std::string &programa, std::uint64_t semilla);
    ~Montaje();
    Montaje(const Montaje &) = delete;
    Montaje &operator=(const Montaje &) = delete;

    const std::string &ruta() const { return ruta_; }
    // The power goes: what the disk had not surely kept is drawn by the seed, and what
    // is left is mounted at the same place. Nothing may hold a file in it meanwhile.
    void corta();

  private:
    void espera_montado();

    CarpetaTemporal base_; // outlives the mount at it
    std::string ruta_;
    pid_t pid_ = -1;
    int orden_ = -1; // its standard input
    int aviso_ = -1; // its standard output
};
