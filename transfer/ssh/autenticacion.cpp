#include "ssh/autenticacion.h"

#include "sockvor.h"
#include "ssh/ssh.h"

#include <algorithm>
#include <libssh/callbacks.h>
#include <optional>
#include <string_view>
#include <vector>

namespace sockvor {

namespace {

// What an attempt learnt about the keys that did not get in.
struct Intento {
    ssh_session sesion = nullptr;
    std::vector<std::string> con_frase;   // key files skipped for their passphrase
    std::vector<std::string> sin_ofrecer; // keys libssh kept back, with its reason
    int rechazos = 0;                     // keys the host was offered and refused
};

// Calls into this library are serialised, and libssh calls back on the caller's thread.
Intento *en_curso = nullptr;

// The file of the key libssh is trying, or nothing for a key of the agent.
std::optional<std::string> archivo_actual(ssh_session sesion) {
    char *archivo = nullptr;
    if (ssh_userauth_publickey_auto_get_current_identity(sesion, &archivo) != SSH_OK || !archivo) {
        return std::nullopt;
    }
    std::string salida = archivo;
    ssh_string_free_char(archivo);
    return salida;
}

std::string identidad_actual(ssh_session sesion) {
    auto archivo = archivo_actual(sesion);
    return archivo ? "la llave " + *archivo : "una llave del agente SSH";
}

void agrega_sin_repetir(std::vector<std::string> &lista, std::string texto) {
    if (std::find(lista.begin(), lista.end(), texto) == lista.end()) {
        lista.push_back(std::move(texto));
    }
}

// Asked for a key's passphrase: refuses, so neither libssh nor OpenSSL ever
// prompts, and remembers the key.
int sin_frase(const char *, char *, size_t, int, int, void *) {
    if (en_curso) {
        if (auto archivo = archivo_actual(en_curso->sesion)) {
            agrega_sin_repetir(en_curso->con_frase, std::move(*archivo));
        }
    }
    return -1;
}

// libssh says only through its error text why it kept a key back (a signature
// it refuses, as SHA-1 ssh-rsa when the host named no rsa-sha2, or a key too
// small) and that the host refused one; both pass through the log at warning level.
void escucha(int, const char *funcion, const char *texto, void *) {
    if (!en_curso || !funcion) {
        return;
    }
    std::string_view t(texto ? texto : "");
    if (auto p = t.find(": "); p != std::string_view::npos) {
        t.remove_prefix(p + 2);
    }
    std::string_view f(funcion);
    if (f == "ssh_userauth_try_publickey") {
        agrega_sin_repetir(en_curso->sin_ofrecer,
                           identidad_actual(en_curso->sesion) + " (" + visible(t) + ")");
    } else if (f == "ssh_packet_userauth_failure") {
        ++en_curso->rechazos;
    }
}

ssh_callbacks_struct *llamadas() {
    // Lives as long as any session that points at it: the whole process.
    static ssh_callbacks_struct c = [] {
        ssh_callbacks_struct v{};
        v.auth_function = sin_frase;
        ssh_callbacks_init(&v);
        return v;
    }();
    return &c;
}

// Listens to libssh's log for the length of one attempt, then puts it back.
class Escucha {
  public:
    explicit Escucha(Intento &intento)
        : nivel_(ssh_get_log_level()), anterior_(ssh_get_log_callback()),
          datos_(ssh_get_log_userdata()) {
        en_curso = &intento;
        ssh_set_log_callback(escucha);
        ssh_set_log_level(std::max(nivel_, static_cast<int>(SSH_LOG_WARN)));
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

void autentica(ConexionSsh &s, const std::string &login, const std::string &dir_ssh) {
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
    ssh_set_callbacks(ss, llamadas());
    Intento intento;
    intento.sesion = ss;
    {
        Escucha escucha(intento);
        r = por_turnos(s, [&] { return ssh_userauth_publickey_auto(ss, nullptr, nullptr); });
    }
    if (r == SSH_AUTH_SUCCESS) {
        return;
    }
    if (r == SSH_AUTH_ERROR || vigia().disparo() || !ssh_is_connected(ss)) {
        s.falla_llamada(SOCKVOR_E_AUTENTICACION, accion);
    }
    falla_sin_llave(intento, s.host, login, dir_ssh);
}

} // namespace sockvor
