#include "ssh/ssh.h"

#include "encierro/encierro.h"
#include "rutas.h"
#include "sockvor.h"
#include "ssh/autenticacion.h"
#include "ssh/cifrados.h"
#include "ssh/configssh.h"
#include "ssh/identidades.h"
#include "ssh/llave_host.h"
#include "ssh/llavero.h"
#include "ssh/tcp.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <openssl/crypto.h>
#include <pwd.h>
#include <utility>
#include <vector>

namespace sockvor {

namespace {

void (*teardown)() = nullptr;
bool cerrada = false;
bool iniciada = false;

void al_salir() {
    if (teardown) {
        teardown();
    }
    cerrada = true;
    vigia().detiene();
    ssh_finalize();
}

std::string directorio_personal() {
    const char *home = std::getenv("HOME");
    if (home && *home) {
        return home;
    }
    passwd entrada{};
    passwd *resultado = nullptr;
    std::vector<char> espacio(16384);
    if (getpwuid_r(getuid(), &entrada, espacio.data(), espacio.size(), &resultado) == 0 &&
        resultado && resultado->pw_dir && *resultado->pw_dir) {
        return resultado->pw_dir;
    }
    falla(SOCKVOR_E_CONFIG, "No se encontró el directorio personal del usuario: HOME no está "
                            "definido y el usuario no figura en passwd");
}

// A known_hosts path as libssh holds it before connecting: a configuration's
// UserKnownHostsFile is kept as written until then.
std::string archivo_de(ssh_session ss, ssh_options_e cual, const std::string &omision,
                       const Expansion &e) {
    char *valor = nullptr;
    if (ssh_options_get(ss, cual, &valor) != 0 || !valor) {
        return omision;
    }
    std::string ruta = expande(valor, e);
    ssh_string_free_char(valor);
    return ruta;
}

} // namespace

std::unique_ptr<ConexionSsh> conecta(const std::string &ip, const std::string &login) {
    auto direccion = lee_direccion(ip);
    if (!direccion) {
        falla(SOCKVOR_E_ARGUMENTO, "La dirección del host \"" + visible(ip) +
                                       "\" no es válida: se espera host, host:puerto o "
                                       "[ipv6]:puerto");
    }
    if (login.empty()) {
        falla(SOCKVOR_E_ARGUMENTO, "Falta el usuario para el host " + ip);
    }
    std::string home = directorio_personal();
    std::string dir_ssh = home + "/.ssh";
    std::string conocidos = dir_ssh + "/known_hosts";

    auto s = std::make_unique<ConexionSsh>();
    s->host = ip;
    s->ssh.reset(ssh_new());
    if (!s->ssh) {
        falla(SOCKVOR_E_INTERNO, "No se pudo crear la sesión SSH para el host " + ip);
    }
    ssh_session ss = s->ssh.get();
    auto opcion = [&](ssh_options_e cual, const void *valor) {
        if (ssh_options_set(ss, cual, valor) < 0) {
            falla(SOCKVOR_E_CONFIG, "No se pudo preparar la conexión con el host " + ip + ": " +
                                        visible(ssh_get_error(ss)));
        }
    };
    opcion(SSH_OPTIONS_HOST, direccion->host.c_str());
    opcion(SSH_OPTIONS_USER, login.c_str());
    // libssh 0.10 takes its directory from passwd, not from HOME.
    opcion(SSH_OPTIONS_SSH_DIR, dir_ssh.c_str());
    opcion(SSH_OPTIONS_KNOWNHOSTS, conocidos.c_str());
    bool aes = procesador_con_aes();
    auto cifrados = [&](const std::string &lista) {
        opcion(SSH_OPTIONS_CIPHERS_C_S, lista.c_str());
        opcion(SSH_OPTIONS_CIPHERS_S_C, lista.c_str());
    };
    // Before the configuration, so that a plain Ciphers list libssh reads where we do
    // not look (an Include, a Match block) still replaces it.
    cifrados(cifrados_por_omision(aes));
    if (ssh_options_parse_config(ss, nullptr) < 0) {
        falla(SOCKVOR_E_CONFIG, "No se pudo leer la configuración SSH de " + dir_ssh +
                                    " para el host " + ip + ": " + visible(ssh_get_error(ss)));
    }
    // After the configuration, or its Port would override the one given here;
    // and the user is always the login, whatever a User line says.
    if (direccion->puerto != 0) {
        opcion(SSH_OPTIONS_PORT, &direccion->puerto);
    }
    opcion(SSH_OPTIONS_USER, login.c_str());
    // libssh 0.10 ignores a Ciphers line in the "+", "-" or "^" form, and takes an
    // unknown name in a list without a word where OpenSSH refuses the line.
    if (auto linea = primer_valor_configurado(dir_ssh + "/config", "/etc/ssh/ssh_config",
                                              direccion->host, "Ciphers")) {
        cifrados(cifrados_configurados(linea->valor, aes, linea->archivo, ip));
    }
    int si = 1;
    int no = 0;
    opcion(SSH_OPTIONS_NODELAY, &si);
    // A cron job cannot answer a prompt: keys only.
    opcion(SSH_OPTIONS_PASSWORD_AUTH, &no);
    opcion(SSH_OPTIONS_KBDINT_AUTH, &no);
    opcion(SSH_OPTIONS_GSSAPI_AUTH, &no);

    long seg =
        plazo_de_conexion(dir_ssh + "/config", "/etc/ssh/ssh_config", direccion->host).count();
    s->plazo = std::chrono::seconds(seg);
    // The watchdog bounds every call at `plazo`. libssh's own timeout is kept
    // well behind it: when both raced, libssh's won now and then and its
    // English "Timeout connecting" came out as a connection failure.
    s->respaldo_s = 2 * seg + 5;
    opcion(SSH_OPTIONS_TIMEOUT, &s->respaldo_s);

    char *real = nullptr;
    if (ssh_options_get(ss, SSH_OPTIONS_HOST, &real) < 0 || !real) {
        falla(SOCKVOR_E_CONFIG, "No se pudo saber el nombre real del host " + ip);
    }
    std::string host = real;
    ssh_string_free_char(real);
    unsigned puerto = 22;
    ssh_options_get_port(ss, &puerto);
    const Expansion e{home, dir_ssh, host, login, puerto};
    HostSsh h{host, puerto, nombra(ip, host, puerto),
              archivo_de(ss, SSH_OPTIONS_KNOWNHOSTS, conocidos, e),
              archivo_de(ss, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/etc/ssh/ssh_known_hosts", e)};
    auto conocidas = consulta_conocidos(ss, h);

    s->socket = conecta_tcp(ip, host, puerto, s->plazo);
    s->fd = s->socket.get();
    opcion(SSH_OPTIONS_FD, &s->fd);
    s->entregado = true;
    // The key holder reads the keys and reaches the user's agent; it starts before the
    // seal, and the process that reads the host's bytes never does either.
    auto ids = identidades({dir_ssh + "/config", "/etc/ssh/ssh_config"}, direccion->host, e,
                           std::getenv("SSH_AUTH_SOCK"));
    Llavero llavero(ids, login, s->plazo,
                    "No se pudo autenticar al usuario " + login + " en el host " + ip);
    // Everything read, connected and started: from the host's first byte on, nothing more.
    sella(llavero.pid());
    if (s->vigilado([&] { return ssh_connect(ss); }) != SSH_OK) {
        s->falla_llamada(SOCKVOR_E_CONEXION, "iniciar la sesión SSH");
    }
    verifica_host(*s, conocidas, h);
    autentica(*s, login, dir_ssh, llavero);
    return s;
}

void inicializa_ssh(void (*al_salir_antes)()) {
    if (iniciada) {
        return;
    }
    if (cerrada) {
        falla(SOCKVOR_E_INTERNO, "La biblioteca de transferencia ya se cerró: el programa está "
                                 "terminando");
    }
    if (ssh_init() < 0) {
        falla(SOCKVOR_E_INTERNO, "No se pudo iniciar la biblioteca SSH");
    }
    // OpenSSL registers its exit cleanup at its first initialisation, which
    // libssh leaves to the first key exchange: after our atexit() below, so it
    // would run before ours and our disconnects would use freed crypto state.
    // Initialising it here puts its cleanup behind ours. Options 0 would return
    // early without registering anything once the library's base is up.
    if (OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr) !=
        1) {
        falla(SOCKVOR_E_INTERNO, "No se pudo iniciar la biblioteca criptográfica");
    }
    teardown = al_salir_antes;
    iniciada = true;
    std::atexit(al_salir);
}

ConexionSsh::~ConexionSsh() {
    bool desconectada = false;
    if (ssh && !muerta && ssh_is_connected(ssh.get())) {
        // libssh 0.10 writes a packet at once only when its poll loop last saw the
        // socket writable, which no call has let it see since the channel's close
        // was sent: without this poll the DISCONNECT stays in its buffer and the
        // host sees the connection just drop.
        Guardia guardia(fd, plazo);
        bool sondeado = false;
        atiende_hasta([&] { return std::exchange(sondeado, true); }, 0);
        if (ssh_is_connected(ssh.get()) && !vigia().disparo()) {
            ssh_disconnect(ssh.get());
            desconectada = true;
        }
    }
    // Whose socket it is: libssh closes the one it holds when the session is freed,
    // and has already closed it if it dropped it (the host's DISCONNECT, a failed
    // write); ssh_disconnect lets go of it unclosed. Closing a number twice could
    // close a file another thread has just opened.
    if (entregado && !desconectada) {
        socket.release();
    }
}

bool ConexionSsh::atiende_hasta(const std::function<bool()> &listo, int espera_ms) {
    std::unique_ptr<ssh_event_struct, decltype(&ssh_event_free)> evento(ssh_event_new(),
                                                                        ssh_event_free);
    if (!evento || ssh_event_add_session(evento.get(), ssh.get()) != SSH_OK) {
        return false;
    }
    bool hecho = listo();
    while (!hecho && ssh_is_connected(ssh.get()) && !vigia().disparo() &&
           ssh_event_dopoll(evento.get(), espera_ms) != SSH_ERROR) {
        hecho = listo();
    }
    ssh_event_remove_session(evento.get(), ssh.get());
    return hecho;
}

bool ConexionSsh::cortada_por_plazo() {
    if (vigia().disparo()) {
        muerta = true;
    }
    return vigia().disparo();
}

bool ConexionSsh::caida() {
    if (!ssh || !ssh_is_connected(ssh.get())) {
        muerta = true;
    }
    return muerta;
}

void ConexionSsh::falla_por_plazo(const std::string &accion) {
    muerta = true;
    if (int numero = vigia().sin_hilo(); numero != 0) {
        falla(SOCKVOR_E_INTERNO,
              "No se pudo iniciar un hilo para vigilar la conexión con el host " + host + " al " +
                  accion + ": " + causa(numero));
    }
    falla(SOCKVOR_E_TIEMPO,
          "El host " + host + " no respondió en " + segundos(plazo) + " al " + accion);
}

void ConexionSsh::falla_por_caida(const std::string &accion, const std::string &detalle) {
    muerta = true;
    falla(SOCKVOR_E_CONEXION_PERDIDA, "Se perdió la conexión con el host " + host + " al " +
                                          accion + (detalle.empty() ? "" : ": " + detalle));
}

void ConexionSsh::falla_llamada(int codigo, const std::string &accion) {
    if (cortada_por_plazo()) {
        falla_por_plazo(accion);
    }
    std::string detalle = ssh ? visible(ssh_get_error(ssh.get())) : "";
    if (caida()) {
        falla_por_caida(accion, detalle);
    }
    std::string texto = "No se pudo " + accion + " en el host " + host;
    if (!detalle.empty()) {
        texto += ": " + detalle;
    }
    falla(codigo, texto);
}

} // namespace sockvor
