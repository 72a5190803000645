// Runs a program as a child process and collects its standard output and exit status.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct Salida {
    int estado = -1; // exit status, or 128 + signal
    std::string texto;
};

// A program started in the background, its standard output on a pipe; killed
// and reaped if nobody waits for it.
class Proceso {
  public:
    // `entorno` holds NAME=VALUE entries added to (or replacing those of) this
    // process's environment.
    Proceso(const std::vector<std::string> &argumentos,
            const std::vector<std::string> &entorno = {});
    ~Proceso();
    Proceso(const Proceso &) = delete;
    Proceso &operator=(const Proceso &) = delete;
    pid_t pid() const { return pid_; }
    Salida espera();

  private:
    pid_t pid_ = -1;
    int salida_ = -1;
};

Salida ejecuta(const std::vector<std::string> &argumentos,
               const std::vector<std::string> &entorno = {});
// A loopback port nobody listens on: one the kernel just handed out and took back.
int puerto_libre();
// A run that must succeed, for setting tests up: its output, or an exception.
std::string ejecuta_o_falla(const std::vector<std::string> &argumentos);

// Seconds since the epoch of a UTC calendar time, for faketime's "@seconds" form.
long long epoca_utc(int anio, int mes, int dia, int hora, int minuto);

// A fresh folder under the system's temporary folder, removed with its contents on
// destruction, or when this process ends without it. A process started with the folder
// removes it: once the transfer library has confined this process to a deposit folder,
// the process itself can remove nothing outside that.
class CarpetaTemporal {
  public:
    CarpetaTemporal();
    ~CarpetaTemporal();
    CarpetaTemporal(const CarpetaTemporal &) = delete;
    CarpetaTemporal &operator=(const CarpetaTemporal &) = delete;
    const std::string &ruta() const { return ruta_; }

  private:
    std::string ruta_;
    pid_t quitador_ = -1;
    int aviso_ = -1; // its end closed, the folder goes
};

// What this process, and any child it starts, writes on stderr while `f` runs;
// `archivo` holds it meanwhile.
std::string su_stderr(const std::string &archivo, const std::function<void()> &f);

std::string lee_archivo(const std::string &ruta);
void escribe_archivo(const std::string &ruta, const std::string &contenido);
