#include "ssh/llavero.h"

#include "encierro/encierro.h"
#include "errores.h"
#include "sockvor.h"
#include "ssh/llaves.h"

#include <cerrno>
#include <fcntl.h>
#include <libssh/callbacks.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sockvor {

namespace {

const std::string proceso = "el proceso que lee las llaves";

bool sigpipe_pendiente() {
    sigset_t pendientes;
    return ::sigpending(&pendientes) == 0 && ::sigismember(&pendientes, SIGPIPE) == 1;
}

pid_t espera(pid_t hijo, int *estado) {
    pid_t r;
    while ((r = ::waitpid(hijo, estado, 0)) < 0 && errno == EINTR) {
    }
    return r;
}

void cierra_desde(unsigned desde, unsigned hasta) {
    if (desde > hasta) {
        return;
    }
    if (::close_range(desde, hasta, 0) == 0) {
        return;
    }
    long limite = ::sysconf(_SC_OPEN_MAX);
    for (long fd = desde; fd <= std::min<long>(hasta, limite); ++fd) {
        ::close(static_cast<int>(fd));
    }
}

// The holder's process as it starts: none of the parent's handlers (a TERM
// must not remove the parent's temporary files from here), no signal held
// back, gone with the parent, no terminal to prompt on, and no descriptor but
// its socket and the standard ones (stdin and stdout on /dev/null). Returns
// the socket's descriptor, moved above the standard ones.
int prepara(int fd, pid_t padre) {
    struct sigaction omision {};
    omision.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s) {
        if (s != SIGKILL && s != SIGSTOP) {
            ::sigaction(s, &omision, nullptr);
        }
    }
    sigset_t ninguna;
    ::sigemptyset(&ninguna);
    ::pthread_sigmask(SIG_SETMASK, &ninguna, nullptr);
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != padre) {
        ::_exit(1);
    }
    ::setsid();
    int recibido = fd;
    if (fd <= STDERR_FILENO) {
        fd = ::fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
    }
    int nulo = ::open("/dev/null", O_RDWR);
    if (fd < 0 || nulo < 0 || ::dup2(nulo, STDIN_FILENO) < 0 || ::dup2(nulo, STDOUT_FILENO) < 0 ||
        (recibido == STDERR_FILENO && ::dup2(nulo, STDERR_FILENO) < 0)) {
        ::_exit(1);
    }
    auto propio = static_cast<unsigned>(fd);
    cierra_desde(STDERR_FILENO + 1, propio - 1);
    cierra_desde(propio + 1, ~0U);
    return fd;
}

// The holder's whole life: it never returns into the parent's code nor runs
// its exit handlers.
[[noreturn]] void vive(int fd, pid_t padre, const Identidades &ids, const std::string &login,
                       std::chrono::milliseconds plazo) {
    try {
        fd = prepara(fd, padre);
        ssh_set_log_callback(nullptr);
        ssh_set_log_level(SSH_LOG_NONE);
        Llaves llaves(ids, login, plazo);
        encierra_llavero();
        // Until the parent closes its end.
        while (auto cuerpo = agente::recibe(fd)) {
            if (!agente::envia(fd, llaves.atiende(*cuerpo))) {
                break;
            }
        }
    } catch (...) {
    }
    ::_exit(0);
}

} // namespace

Llavero::SinSigpipe::SinSigpipe() : ya_pendiente_(sigpipe_pendiente()) {
    sigset_t pipe;
    ::sigemptyset(&pipe);
    ::sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe, &antes_);
}

Llavero::SinSigpipe::~SinSigpipe() {
    // One raised meanwhile by a write to a holder gone is taken back here.
    if (!ya_pendiente_ && sigpipe_pendiente()) {
        sigset_t pipe;
        ::sigemptyset(&pipe);
        ::sigaddset(&pipe, SIGPIPE);
        timespec ya{};
        ::sigtimedwait(&pipe, nullptr, &ya);
    }
    ::pthread_sigmask(SIG_SETMASK, &antes_, nullptr);
}

Llavero::Llavero(const Identidades &ids, const std::string &login, std::chrono::milliseconds plazo,
                 std::string contexto)
    : plazo_(plazo), contexto_(std::move(contexto)) {
    int par[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, par) != 0) {
        falla_con("no se pudo iniciar " + proceso + ": " + causa(errno));
    }
    propio_ = Descriptor(par[0]);
    Descriptor suyo(par[1]);
    // The child takes no signal until its handlers are back to the defaults.
    sigset_t todas, antes;
    ::sigfillset(&todas);
    ::pthread_sigmask(SIG_SETMASK, &todas, &antes);
    pid_t padre = ::getpid();
    hijo_ = ::fork();
    if (hijo_ == 0) {
        vive(par[1], padre, ids, login, plazo);
    }
    int error = errno;
    ::pthread_sigmask(SIG_SETMASK, &antes, nullptr);
    if (hijo_ < 0) {
        falla_con("no se pudo iniciar " + proceso + ": " + causa(error));
    }
}

Llavero::~Llavero() {
    if (entregado_) {
        // libssh closes that number later: a dead end stays in it, so no file
        // opened meanwhile takes the number and is closed under its owner.
        int nulo = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (nulo < 0 || ::dup3(nulo, propio_.get(), O_CLOEXEC) < 0) {
            ::shutdown(propio_.get(), SHUT_RDWR);
        }
        if (nulo >= 0) {
            ::close(nulo);
        }
        propio_.release();
    } else {
        propio_.cierra();
    }
    if (hijo_ > 0) {
        // It ends on the end of its socket; this is for one stuck elsewhere.
        ::kill(hijo_, SIGKILL);
        espera(hijo_, nullptr);
    }
}

std::vector<agente::ConFrase> Llavero::con_frase() {
    // Its answer comes once it has read the files and asked the user's agent,
    // each exchange with which it bounds by `plazo`.
    auto limite = 2 * plazo_;
    timeval t{static_cast<time_t>(limite.count() / 1000),
              static_cast<suseconds_t>(limite.count() % 1000 * 1000)};
    timeval sin_limite{};
    std::optional<std::string> respuesta;
    if (::setsockopt(propio_.get(), SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t) == 0 &&
        agente::envia(propio_.get(), agente::pide_con_frase())) {
        respuesta = agente::recibe(propio_.get());
    }
    ::setsockopt(propio_.get(), SOL_SOCKET, SO_RCVTIMEO, &sin_limite, sizeof sin_limite);
    auto lista = respuesta ? agente::lee_con_frase(*respuesta) : std::nullopt;
    if (!lista) {
        comprueba();
        falla_con(proceso + " no respondió en " + segundos(limite));
    }
    return *lista;
}

void Llavero::comprueba() {
    // Its end of the socket closes only as it ends; then the wait is short.
    pollfd p{propio_.get(), POLLIN, 0};
    int estado = 0;
    if (hijo_ > 0 && ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)) &&
        espera(hijo_, &estado) == hijo_) {
        hijo_ = -1;
        falla_con(WIFSIGNALED(estado)
                      ? proceso + " terminó por la señal " + std::to_string(WTERMSIG(estado))
                      : proceso + " terminó antes de tiempo");
    }
}

void Llavero::falla_con(const std::string &motivo) {
    falla(SOCKVOR_E_INTERNO, contexto_ + ": " + motivo);
}

} // namespace sockvor
