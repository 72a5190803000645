// A throwaway SFTP host on loopback (sftp_host.py) and the SSH home that
// trusts it: keys, known_hosts and config in a temporary HOME.
#pragma once

#include "proceso.h"

#include <string>
#include <sys/types.h>
#include <vector>

enum class LlaveConocida { registrada, ausente, otra };

struct OpcionesHost {
    std::vector<std::string> fallas;        // --fault of sftp_host.py
    std::vector<std::string> inyectados;    // --inject, Python escapes allowed
    std::vector<std::string> fallan;        // --fail-name: reads of these files fail
    std::vector<std::string> abren_mal;     // --fail-open-once: their first open fails
    int muchos = 0;                         // --inject-many
    std::string etiqueta_muchos = "201305"; // the month in their names (--many-tag)
    bool cliente_autorizado = true;         // authorized_keys holds the client's key
    std::string tipo_llave = "ed25519";     // the client key's type, as ssh-keygen -t names it
    std::string llave_host_extra;           // a second host key of this type, the one registered
    LlaveConocida llave = LlaveConocida::registrada;
    int connect_timeout = 0;               // ConnectTimeout in the client's config; 0 leaves it out
    bool windows = false;                  // --windows: answers as a Windows host's OpenSSH server
    std::vector<std::string> retenidos;    // --hold NAME or NAME=SECONDS: opens fail meanwhile
    std::vector<std::string> fin_en;       // --eof-at NAME=OFFSET: a short copy
    std::vector<std::string> reescritos;   // --rewrite NAME or NAME=SECONDS: changes once read
    std::vector<std::string> mal_leidos;   // --malformed-read NAME: malformed read replies
    int demora_apertura_ms = 0;            // --open-delay MS
    int max_canales = 0;                   // --max-channels N; 0 leaves it out
    int latencia_ms = 0;                   // --latency MS: a far host
    std::vector<std::string> cierra_canal; // --close-channel K=N
    std::vector<std::string> lentos;       // --slow-read NAME=MS: each read answered MS late
    std::vector<std::string> atascados;    // --stall NAME: reads never answered
    std::vector<std::string> cortos;       // --short-read NAME: half of each read answered
    int demora_autenticacion_ms = 0;       // --auth-delay MS
    int demora_saludo_ms = 0;              // --banner-delay MS: its SSH version MS late
    int falla_readdir = 0;                 // --fail-readdir K: the K-th READDIR fails
};

class HostSftp {
  public:
    static constexpr const char *alias = "acuses-prueba";

    explicit HostSftp(OpcionesHost opciones = {});
    ~HostSftp();
    HostSftp(const HostSftp &) = delete;
    HostSftp &operator=(const HostSftp &) = delete;

    // Points this process's HOME at the temporary one, for the library.
    void usa_home() const;

    int puerto() const { return puerto_; }
    std::string direccion() const { return "127.0.0.1:" + std::to_string(puerto_); }
    const std::string &home() const { return home_; }
    const std::string &raiz() const { return raiz_; }
    // A local folder for deposits, empty at first.
    const std::string &deposito() const { return deposito_; }

    // D:\IDE\<login>\Acuses\<nombre>, as the command writes it.
    static std::string ruta_windows(const std::string &login, const std::string &nombre);
    // Where that remote file lives on this machine.
    std::string ruta_local_remota(const std::string &login, const std::string &nombre) const;
    void crea_remoto(const std::string &login, const std::string &nombre,
                     const std::string &contenido) const;

    std::vector<std::string> registro() const;
    int cuenta(const std::string &evento) const;

  private:
    CarpetaTemporal base_;
    std::string home_, raiz_, deposito_, registro_;
    int puerto_ = 0;
    pid_t hijo_ = -1;
};

// The library's thresholds for more channels (a host far, or slow to open
// files), set by a test well clear of the host it plays, whatever the machine's
// load: `umbrales(ms)` as corre_en_junio's `antes` for a run of the program,
// Umbrales for this process while it lives. A test that needs one channel sets
// them out of reach.
std::vector<std::string> umbrales(int ms);
constexpr int inalcanzable_ms = 60000;
class Umbrales {
  public:
    explicit Umbrales(int ms);
    ~Umbrales();
    Umbrales(const Umbrales &) = delete;
    Umbrales &operator=(const Umbrales &) = delete;
};

// `programa ip login deposito` with the host's HOME, on 15 June 2013 by faketime
// (the monotonic clock left alone): a run of the command covers 201306 and 201305.
Salida corre_en_junio(const std::string &programa, const HostSftp &host, const std::string &ip,
                      const std::string &login, const std::string &deposito,
                      std::vector<std::string> antes = {});

// The names in `carpeta`, sorted.
std::vector<std::string> archivos(const std::string &carpeta);

// Files in `carpeta` whose names start with '.', the shape of our temporaries.
std::vector<std::string> ocultos(const std::string &carpeta);

// Random-looking but reproducible bytes, so a mismatch points at an offset.
std::string bytes_de_prueba(std::size_t largo, unsigned semilla);
