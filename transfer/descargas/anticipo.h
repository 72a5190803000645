// Prefetch after a listing. Once ListaFolders has returned, the library knows
// which files the command will ask for and in what order; from the first
// RecibeArchivo on, the deposit folder is known too. So while the command waits
// for file k, a bounded window of the files after it is in flight, each into a
// hidden temporary file of its own. File k is made final only when it is asked
// for; a failure of a file is told when it is asked for, never earlier; and what
// was fetched ahead goes, with its temporary file, when the run ends first.
#pragma once

#include "deposito/origen.h"
#include "descargas/descarga.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace sockvor {

class Canales;

// A file as the last listing found it.
struct Listado {
    std::string ruta;   // SFTP path: /D:/IDE/x1/Acuses/a.xml
    std::string nombre; // a.xml
    Medida medida;
};

class Anticipo {
  public:
    // The files of `login` on `ip`: what a deposit's record names.
    Anticipo(std::string ip, std::string login) : ip_(std::move(ip)), login_(std::move(login)) {}
    Anticipo(const Anticipo &) = delete;
    Anticipo &operator=(const Anticipo &) = delete;
    ~Anticipo() { abandona(); }

    // The files of a new listing, in the order the command will ask for them.
    // Whatever was fetched ahead for the previous one goes.
    void planea(std::vector<Listado> archivos);

    // Stores remote file `ruta` at `local`: fetched ahead when it was, otherwise
    // now; left alone when the copy there is the one deposited from the same
    // remote size and mtime and untouched since. Keeps the files after it in
    // flight meanwhile. Throws the file's failure.
    void trae(Canales &canales, const std::string &ruta, const std::string &local);

    // What the listing said of `ruta`, if it listed it.
    const Listado *listado(const std::string &ruta) const;

    // Drops everything in flight, temporary files included: the connection is gone.
    void suelta_transferencias();
    // Drops everything, the plan too (process exit).
    void abandona();

  private:
    std::optional<std::size_t> del_plan(const std::string &ruta, const std::string &local);
    // The file as found, if it is left alone (sin_cambios).
    std::optional<Vista> ya_esta(const Listado &l, const std::string &local) const;
    // ya_esta for the plan's file `j` in the deposit folder, asked of the disk
    // once for planning and fetching ahead: a repeat run reads the records of
    // thousands of files.
    bool se_deja(std::size_t j);
    // At the file's turn, at `local`, as the disk is then: a file left alone
    // when judged and seen unchanged since needs no second reading of its record.
    bool se_deja_aun(std::size_t j, const std::string &local);
    // A download of `l` on `canal`, started.
    std::shared_ptr<Descarga> nueva(Canales &canales, CanalSftp &canal, const Listado &l,
                                    const std::string &local);
    // How many channels the files of the plan from `desde` on are worth; their
    // bytes count only over a link that is `lejos` (Canales::lejos).
    std::size_t canales_para_el_plan(std::size_t desde, bool lejos);
    // The download of the file asked for: the one fetched ahead, or a new one.
    std::shared_ptr<Descarga> de_turno(Canales &canales, std::optional<std::size_t> i,
                                       const Listado *l, const std::string &ruta,
                                       const std::string &local, bool &de_antes);
    // Drives the channel until `d` ends, the files after it coming meanwhile.
    void espera(Canales &canales, Descarga &d, std::optional<std::size_t> i,
                const std::string &ruta);
    // Puts the complete file under its name once its data is on disk.
    void deposita(Canales &canales, Deposito &deposito, std::optional<std::size_t> i,
                  const std::string &ruta);
    // Whether temporary files other than the one of file `i` are held.
    bool hay_otras(std::optional<std::size_t> i) const;
    void adelanta(Canales &canales, std::size_t actual);
    // Keeps every file in flight moving: the ones after `i` fetched ahead, the
    // paused ones tried again when their time comes; only `turno`, the file
    // asked for, while it waits on a channel silent for the bound.
    void avanza(Canales &canales, std::optional<std::size_t> i, Descarga *turno);
    std::optional<Descarga::Reloj::time_point> proximo_reintento() const;
    void suelta_todo();
    void suelta_antes(std::size_t indice);

    std::string ip_;
    std::string login_;
    std::vector<Listado> plan_;
    std::unordered_map<std::string, std::size_t> por_ruta_;
    struct Juicio {
        bool hecho = false;
        std::optional<Vista> deja; // ya_esta's answer
    };
    std::vector<Juicio> juicios_;        // by the plan's index
    std::optional<std::string> prefijo_; // the deposit folder and its '/', from the first fetch
    std::size_t siguiente_ = 0;          // the next file of the plan to fetch ahead
    bool en_pausa_ = false;              // a local failure: no more fetching ahead
    bool canales_pedidos_ = false;       // the plan asked for the channels it is worth
    Canales *canales_ = nullptr;         // where what is in flight travels
    std::map<std::size_t, std::shared_ptr<Descarga>> adelantadas_;
    std::shared_ptr<Descarga> directa_; // a file asked for outside the plan
};

} // namespace sockvor
