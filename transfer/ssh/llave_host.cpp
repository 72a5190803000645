#include "ssh/llave_host.h"

#include "sockvor.h"

#include <cstdio>

namespace sockvor {

namespace {

std::string huella(ssh_key llave) {
    unsigned char *hash = nullptr;
    size_t largo = 0;
    if (ssh_get_publickey_hash(llave, SSH_PUBLICKEY_HASH_SHA256, &hash, &largo) < 0) {
        return "(huella desconocida)";
    }
    char *texto = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, largo);
    ssh_clean_pubkey_hash(&hash);
    std::string salida = texto ? texto : "(huella desconocida)";
    ssh_string_free_char(texto);
    return std::string(ssh_key_type_to_char(ssh_key_type(llave))) + " " + salida;
}

// As OpenSSH's client, a malformed line is skipped; unlike it, not silently,
// since the operator may think it is the host's entry.
void avisa(const std::string &archivo, const HostSsh &h, const std::vector<LineaOmitida> &lineas,
           std::size_t desde) {
    constexpr std::size_t maximo = 5;
    if (lineas.size() <= desde) {
        return;
    }
    std::string texto = " AVISO Se omiten líneas mal formadas de " + visible(archivo) +
                        " para el host " + visible(h.donde) + ", como hace ssh:";
    for (std::size_t i = desde; i < lineas.size() && i < desde + maximo; ++i) {
        texto += (i == desde ? " línea " : "; línea ") + std::to_string(lineas[i].numero) + " (" +
                 lineas[i].motivo + ")";
    }
    if (lineas.size() - desde > maximo) {
        texto += " y " + std::to_string(lineas.size() - desde - maximo) + " más";
    }
    std::fprintf(stderr, "%s\n", texto.c_str());
}

} // namespace

Conocidos consulta_conocidos(ssh_session sesion, const HostSsh &h) {
    Conocidos c;
    auto nombre = nombre_conocido(h.host, h.puerto);
    for (const auto &archivo : {h.conocidos, h.global}) {
        auto antes = c.omitidas.size();
        lee_archivo_conocidos(archivo, nombre, c);
        avisa(archivo, h, c.omitidas, antes);
    }
    // libssh orders the host key algorithms by the known keys' types, reading the files
    // again during the key exchange, unless that reading fails: a malformed line makes
    // it, and so does a process sealed before the host's first byte (encierro.h). The
    // host could then present a key of another type than the one known, and be
    // refused. The order is given from this reading instead.
    auto preferidos = algoritmos_preferidos(c);
    if (!preferidos.empty()) {
        ssh_options_set(sesion, SSH_OPTIONS_HOSTKEYS, preferidos.c_str());
    }
    return c;
}

void verifica_host(ConexionSsh &s, const Conocidos &c, const HostSsh &h) {
    ssh_key cruda = nullptr;
    if (ssh_get_server_publickey(s.ssh.get(), &cruda) < 0) {
        s.falla_llamada(SOCKVOR_E_CONEXION, "obtener la llave del host");
    }
    Llave llave(cruda);
    auto veredicto = juzga(c, llave.get());
    if (veredicto == Veredicto::conocida) {
        return;
    }
    std::string p = h.puerto == 22 ? "" : "-p " + std::to_string(h.puerto) + " ";
    std::string agrega = "ssh-keyscan " + p + h.host + " >> " + h.conocidos;
    if (veredicto == Veredicto::revocada) {
        std::string archivo;
        for (const auto &e : c.entradas) {
            if (e.revocada && ssh_key_cmp(e.llave.get(), llave.get(), SSH_KEY_CMP_PUBLIC) == 0) {
                archivo = e.archivo;
            }
        }
        falla(SOCKVOR_E_HOST_REVOCADO,
              "La llave del host " + h.donde + " está revocada: " + visible(archivo) +
                  " la marca con @revoked (" + huella(llave.get()) +
                  "). No se confía en ella; el administrador del host debe cambiarla");
    }
    if (veredicto == Veredicto::cambiada) {
        std::string entrada =
            h.puerto == 22 ? h.host : "[" + h.host + "]:" + std::to_string(h.puerto);
        falla(SOCKVOR_E_HOST_CAMBIADO,
              "La llave del host " + h.donde + " no es la registrada en " + h.conocidos +
                  "; ahora presenta " + huella(llave.get()) +
                  ". Puede ser un ataque o una reinstalación del host. Si el administrador "
                  "confirma esa huella, quite la llave vieja con: ssh-keygen -R '" +
                  entrada + "' -f " + h.conocidos + " y agregue la nueva con: " + agrega);
    }
    falla(SOCKVOR_E_HOST_DESCONOCIDO,
          "El host " + h.donde + " no figura en " + h.conocidos + "; presenta la llave " +
              huella(llave.get()) +
              ". Para confiar en él, confirme esa huella con el administrador del host y "
              "ejecute: " +
              agrega);
}

} // namespace sockvor
