#include "ssh/autenticacion.h"

#include "sockvor.h"
#include "ssh/firma.h"
#include "ssh/llavero.h"
#include "ssh/ssh.h"

#include <algorithm>
#include <libssh/callbacks.h>
#include <string_view>
#include <vector>

namespace sockvor {

namespace {

// What an attempt learnt about the keys that did not get in.
struct Intento {
    std::string actual;                   // the key being tried, as a message names it
    std::vector<std::string> con_frase;   // key files kept back for their passphrase
    std::vector<std::string> sin_ofrecer; // keys libssh kept back, with its reason
    int rechazos = 0;                     // keys the host was offered and refused
};

// Calls into this library are serialised, and libssh calls back on the caller's thread.
Intento *en_curso = nullptr;

void agrega_sin_repetir(std::vector<std::string> &lista, std::string texto) {
    if (std::find(lista.begin(), lista.end(), texto) == lista.end()) {
        lista.push_back(std::move(texto));
    }
}

// libssh names the agent's key it tries only in its debug log, by the key's
// comment: the holder leaves the user's agent's keys without one and gives a
// file's key its path. Why it kept a key back (a signature it refuses, as
// SHA-1 ssh-rsa when the host named no rsa-sha2, or a key too small) and that
// the host refused one it says only as warnings.
void escucha(int prioridad, const char *funcion, const char *texto, void *) {
    if (!en_curso || !funcion) {
        return;
    }
    std::string_view t(texto ? texto : "");
    if (auto p = t.find(": "); p != std::string_view::npos) {
        t.remove_prefix(p + 2);
    }
    std::string_view f(funcion);
    constexpr std::string_view probando = "Trying identity ";
    if (f == "ssh_userauth_agent" && t.starts_with(probando)) {
        t.remove_prefix(probando.size());
        en_curso->actual = t.empty() ? "una llave del agente SSH" : "la llave " + visible(t);
    } else if (prioridad != SSH_LOG_WARN) {
        return;
    } else if (f == "ssh_userauth_try_publickey") {
        agrega_sin_repetir(en_curso->sin_ofrecer, en_curso->actual + " (" + visible(t) + ")");
    } else if (f == "ssh_packet_userauth_failure") {
        ++en_curso->rechazos;
    }
}

// Listens to libssh's log for the length of one attempt, then puts it back.
class Escucha {
  public:
    explicit Escucha(Intento &intento)
        : nivel_(ssh_get_log_level()), anterior_(ssh_get_log_callback()),
          datos_(ssh_get_log_userdata()) {
        en_curso = &intento;
        ssh_set_log_callback(escucha);
        ssh_set_log_level(std::max(nivel_, static_cast<int>(SSH_LOG_DEBUG)));
    }
    Escucha(const Escucha &) = delete;
    Escucha &operator=(const Escucha &) = delete;
    ~Escucha() {
        ssh_set_log_level(nivel_);
        ssh_set_log_callback(anterior_);
        ssh_set_log_userdata(datos_);
        en_curso = nullptr;
    }

  private:
    int nivel_;
    ssh_logging_callback anterior_;
    void *datos_;
};

// libssh waits for the answer to an authentication request until its own
// timeout even after the host has disconnected: that wait never looks at the
// session's state, and the watchdog has no socket left to shut down, since libssh
// closes it on the host's DISCONNECT. In short turns each call returns
// SSH_AUTH_AGAIN, keeps its place, and a connection gone is seen at once.
class TurnosCortos {
  public:
    explicit TurnosCortos(ConexionSsh &s) : s_(s) { fija(0, 200000); }
    TurnosCortos(const TurnosCortos &) = delete;
    TurnosCortos &operator=(const TurnosCortos &) = delete;
    ~TurnosCortos() { fija(s_.respaldo_s, 0); }

  private:
    void fija(long segundos, long micro) {
        ssh_options_set(s_.ssh.get(), SSH_OPTIONS_TIMEOUT, &segundos);
        ssh_options_set(s_.ssh.get(), SSH_OPTIONS_TIMEOUT_USEC, &micro);
    }
    ConexionSsh &s_;
};

template <class Llamada> int por_turnos(ConexionSsh &s, Llamada llamada) {
    int r;
    while ((r = llamada()) == SSH_AUTH_AGAIN) {
        if (!ssh_is_connected(s.ssh.get()) || vigia().disparo()) {
            return SSH_AUTH_ERROR;
        }
    }
    return r;
}

std::string enumera(const std::vector<std::string> &partes) {
    std::string salida;
    for (std::size_t i = 0; i < partes.size(); ++i) {
        salida += (i == 0 ? "" : i + 1 == partes.size() ? " y " : ", ") + partes[i];
    }
    return salida;
}

[[noreturn]] void falla_sin_llave(const Intento &i, const std::string &host,
                                  const std::string &login, const std::string &dir_ssh) {
    std::string texto;
    if (!i.con_frase.empty()) {
        std::vector<std::string> archivos;
        for (const auto &a : i.con_frase) {
            archivos.push_back(visible(a));
        }
        bool una = archivos.size() == 1;
        texto = "No se pudo autenticar al usuario " + login + " en el host " + host + ": " +
                (una ? "la llave " : "las llaves ") + enumera(archivos) +
                (una ? " tiene" : " tienen") +
                " frase de paso y la biblioteca nunca la pide. Cárguela en el agente SSH "
                "(ssh-add) o use una llave sin frase de paso";
        // Mending that one alone would not do if the host also refused the others.
        if (i.rechazos == 1) {
            texto += "; el host no aceptó la otra llave que se le ofreció";
        } else if (i.rechazos > 1) {
            texto += "; el host no aceptó las otras " + std::to_string(i.rechazos) +
                     " llaves que se le ofrecieron";
        }
    } else if (!i.sin_ofrecer.empty() && i.rechazos == 0) {
        texto = "No se ofreció ninguna llave al host " + host + " para el usuario " + login +
                ": no se ofreció " + enumera(i.sin_ofrecer);
    } else {
        texto = "El host " + host + " no aceptó ninguna llave para el usuario " + login +
                " (se probaron el agente SSH y las llaves de " + dir_ssh +
                "). Agregue la llave pública del usuario local al authorized_keys de " + login +
                " en el host (si es administrador de Windows, a "
                "C:\\ProgramData\\ssh\\administrators_authorized_keys)";
        if (!i.sin_ofrecer.empty()) {
            texto += "; no se ofreció " + enumera(i.sin_ofrecer);
        }
    }
    falla(SOCKVOR_E_AUTENTICACION, texto);
}

} // namespace

void autentica(ConexionSsh &s, const std::string &login, const std::string &dir_ssh,
               Llavero &llavero) {
    ssh_session ss = s.ssh.get();
    const std::string accion = "autenticar al usuario " + login;
    Guardia guardia(s.fd, s.plazo);
    TurnosCortos turnos(s);
    // The answer to "none" comes after the host's extension info, so the RSA
    // signature the host takes (server-sig-algs) is known before a key is offered:
    // some hosts (ProFTPD's mod_sftp) send it a round trip later than sshd does.
    int r = por_turnos(s, [&] { return ssh_userauth_none(ss, nullptr); });
    if (r == SSH_AUTH_SUCCESS) {
        return;
    }
    if (r == SSH_AUTH_ERROR) {
        s.falla_llamada(SOCKVOR_E_AUTENTICACION, accion);
    }
    auto con_frase = llavero.con_frase();
    if (ssh_set_agent_socket(ss, llavero.socket()) != SSH_OK) {
        s.falla_llamada(SOCKVOR_E_INTERNO, accion);
    }
    llavero.entregado();
    Intento intento;
    {
        Escucha escucha(intento);
        r = por_turnos(s, [&] { return ssh_userauth_agent(ss, nullptr); });
        // A key kept back for its passphrase is named if the host would take it
        // (its public key is no secret), or if it has no NAME.pub to tell.
        for (std::size_t i = 0; i < con_frase.size() && r == SSH_AUTH_DENIED; ++i) {
            const auto &c = con_frase[i];
            auto publica = llave_de_blob(c.blob);
            intento.actual = "la llave " + visible(c.archivo);
            int oferta =
                publica
                    ? por_turnos(
                          s, [&] { return ssh_userauth_try_publickey(ss, nullptr, publica.get()); })
                    : SSH_AUTH_SUCCESS;
            if (oferta == SSH_AUTH_SUCCESS) {
                agrega_sin_repetir(intento.con_frase, c.archivo);
            } else if (oferta == SSH_AUTH_ERROR) {
                r = oferta;
            }
        }
    }
    if (r == SSH_AUTH_SUCCESS) {
        return;
    }
    bool caida = vigia().disparo() || !ssh_is_connected(ss);
    if (!caida) {
        llavero.comprueba(); // a holder gone looks to libssh like an agent with no keys
    }
    if (r == SSH_AUTH_ERROR || caida) {
        s.falla_llamada(SOCKVOR_E_AUTENTICACION, accion);
    }
    falla_sin_llave(intento, s.host, login, dir_ssh);
}

} // namespace sockvor
