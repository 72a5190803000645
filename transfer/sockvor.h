// The transfer library's two functions, as acuses calls them. A site may build
// its own libSockVor.so against this header and drop it in place of ours.
//
// Every argument is a terminated text. `lista` (SOCKVOR_TAM_LISTA bytes) and
// `error` (SOCKVOR_TAM_ERROR bytes) are filled by the library. Both functions
// return 0 on success and a negative code on failure, with a terminated Spanish
// text in `error`; ListaFolders returns SOCKVOR_NO_ENCONTRADO when the folder
// exists and no file matches.
//
// `ip` is "host", "host:port", "[v6addr]:port" or a Host alias of
// ~/.ssh/config; `login` is the SSH user. Remote paths are Windows paths
// (D:\IDE\x1\Acuses\name.xml), reached over SFTP as /D:/IDE/x1/Acuses/name.xml.
// One SSH connection per (ip, login) serves every call of the process; it carries
// up to six SFTP channels when many files, or a large one, are to come.
//
// Our implementation: keys and known_hosts come from $HOME/.ssh (the passwd
// home when HOME is unset), public keys only, the host key checked strictly;
// ConnectTimeout of ~/.ssh/config (else 30 s) bounds the connection and every
// stalled call, and a host sending less than 1 KiB/s over twice that time fails
// the call as if silent; ProxyCommand/ProxyJump are not followed. Calls are
// serialised. Texts from the host reach `error` on one line, control bytes
// spelled out.
//
// After a successful ListaFolders, the files it listed are fetched ahead of the
// RecibeArchivo calls that ask for them, in list order, into hidden temporary
// files beside `local` (".<name>.sockvor-XXXXXX"); each becomes `local` only in
// its own call, whose result is that file's own. Temporary files go when the
// process exits, or is ended by TERM, INT or HUP (handled by the library when
// the program leaves them at their default, then ending the process by the same
// signal); those a killed process left are removed before the same name is
// fetched again.
//
// RecibeArchivo ignores SIGXFSZ while it runs, so a file-size limit is a
// SOCKVOR_E_LOCAL failure instead of killing the process; the file appears at
// `local` whole and flushed to disk, or not at all. The rename that puts it there
// is made durable with its folder's sync: by a later deposit once 5 s have passed,
// and at process exit at the latest (a failure then ends the process with status 4),
// or by the handler of TERM, INT or HUP, through a descriptor of each deposit folder
// the library holds open for the life of the process.
// A file at `local` that the library deposited from the same remote file at the same
// size and mtime as listed, untouched since, owned by this user and writable by no one
// else (user.sockvor.origen), is left as it is: success.
//
// A copy is made final only when complete and consistent: no gap up to an end of
// file the host gave, which its stat of the open file, taken after the last read,
// confirms together with the size and mtime the copy started from. A file the host
// refuses with its generic failure (SSH_FX_FAILURE, as Windows answers for a file in
// use), or that keeps changing, is tried again after 0.5 s, 1 s, 2 s... until
// ConnectTimeout has passed since its first refusal.
//
// The first RecibeArchivo whose folder the process may write into confines the whole
// process with Landlock, where the kernel offers it: from then on the process, the
// library's threads and every process started later can create, write, rename or
// remove files only beneath that folder (regular files only) and write /dev/null;
// and every thread of the process, those the caller started before too, may make only
// the system calls of an allowlist (encierro/permitidas.h): a change of a file's mode,
// owner, flags or attributes, a call newer than the list, fails with ENOSYS. A later
// RecibeArchivo into another folder fails with SOCKVOR_E_LOCAL. Threads the caller
// started before that first call keep their file rights.
//
// FijaDeposito, ours alone (a site's library need not have it; acuses looks it up by
// name), tells the library that folder before anything else: the process is confined
// to it at once; and once the connection is made, before the library reads the host's
// first byte, the process is sealed: it opens files only in that folder, makes no
// connection (a connection the host closes is not made again), runs no program and
// signals no process but itself and its key holder. Returns 0, or SOCKVOR_E_ARGUMENTO
// for a null folder. Only its first call counts.
//
// The library's own threads are born with every signal blocked but the faults. Where
// the system refuses one (a limit of tasks), files are flushed on fewer, down to the
// calling thread; with no thread for the watchdog, the call it would bound fails at once,
// SOCKVOR_E_INTERNO.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum {
    SOCKVOR_TAM_LISTA = 65536,
    SOCKVOR_TAM_ERROR = 512,
};

// Result codes; none of the failures is 0 or SOCKVOR_NO_ENCONTRADO.
enum {
    SOCKVOR_OK = 0,
    SOCKVOR_NO_ENCONTRADO = -55,     // the folder exists and no file matches the pattern
    SOCKVOR_E_ARGUMENTO = -1,        // malformed address, login, type, pattern or path
    SOCKVOR_E_CONFIG = -2,           // SSH directory or configuration unusable
    SOCKVOR_E_CONEXION = -3,         // host not resolved, refused or unreachable
    SOCKVOR_E_HOST_DESCONOCIDO = -4, // host key not in known_hosts
    SOCKVOR_E_HOST_CAMBIADO = -5,    // host key differs from known_hosts
    SOCKVOR_E_AUTENTICACION = -6,    // no key accepted for the login
    SOCKVOR_E_SFTP = -7,             // SFTP subsystem refused, or the host broke its protocol
    SOCKVOR_E_CARPETA = -8,          // remote folder missing or unreadable
    SOCKVOR_E_LISTA_LLENA = -9,      // matching names do not fit the list
    SOCKVOR_E_NOMBRE = -10,          // a matching name cannot be split from the list
    SOCKVOR_E_REMOTO = -11,          // remote file cannot be opened or read
    SOCKVOR_E_LOCAL = -12,           // local file cannot be written or stored
    SOCKVOR_E_TIEMPO = -13, // host silent for the timeout, or too slow, connecting or later
    SOCKVOR_E_CONEXION_PERDIDA = -14, // connection dropped during the operation
    SOCKVOR_E_INTERNO = -15,          // out of memory or another unexpected failure
    SOCKVOR_E_HOST_REVOCADO = -16,    // host key marked @revoked in known_hosts
};

// Separator between the names of a successful listing.
#define SOCKVOR_SEPARADOR '\n'

int ListaFolders(const char *ip, const char *login, const char *tipo, const char *patron,
                 char *lista, char *error);
int RecibeArchivo(const char *ip, const char *login, const char *remoto, const char *local,
                  char *error);
int FijaDeposito(const char *carpeta);

#ifdef __cplusplus
}
#endif
