#include "proftpd_fixture.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr uid_t nadie = 65534;

} // namespace

HostProftpd::HostProftpd(const std::string &login, const std::string &tipo_llave) : login_(login) {
    const std::string &b = base_.ruta();
    home_ = b + "/home";
    raiz_ = b + "/raiz";
    deposito_ = b + "/deposito";
    std::string srv = b + "/servidor";
    std::string ssh = home_ + "/.ssh";
    for (const auto &d :
         {ssh, raiz_ + "/D:/IDE/" + login + "/Acuses", deposito_, srv + "/autorizadas"}) {
        fs::create_directories(d);
    }
    std::string llave = ssh + "/id_" + tipo_llave;
    ejecuta_o_falla({"ssh-keygen", "-q", "-t", tipo_llave, "-N", "", "-C", "prueba", "-f", llave});
    ejecuta_o_falla(
        {"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "", "-f", srv + "/llave_host"});
    // mod_sftp reads authorised keys in the RFC 4716 form only.
    escribe_archivo(srv + "/autorizadas/" + login,
                    ejecuta_o_falla({"ssh-keygen", "-e", "-f", llave + ".pub"}));

    bool root = geteuid() == 0;
    uid_t uid = root ? nadie : geteuid();
    gid_t gid = root ? nadie : getegid();
    const passwd *pw = getpwuid(uid);
    const group *gr = getgrgid(gid);
    if (!pw || !gr) {
        throw std::runtime_error("sin nombre para el usuario o el grupo " + std::to_string(uid));
    }
    escribe_archivo(srv + "/passwd", login + ":*:" + std::to_string(uid) + ":" +
                                         std::to_string(gid) + "::" + raiz_ + ":/bin/sh\n");
    escribe_archivo(srv + "/group", std::string(gr->gr_name) + ":*:" + std::to_string(gid) + ":\n");
    fs::permissions(srv + "/passwd", fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(srv + "/group", fs::perms::owner_read | fs::perms::owner_write);

    puerto_ = puerto_libre(); // ProFTPD wants a number
    std::ostringstream c;
    c << "ServerType standalone\nServerName acuses-prueba\nDefaultAddress 127.0.0.1\n"
      << "SocketBindTight on\nUseIPv6 off\nPort " << puerto_ << "\n"
      << "User " << pw->pw_name << "\nGroup " << gr->gr_name << "\n"
      << "PidFile " << srv << "/pid\nScoreboardFile " << srv << "/scoreboard\n"
      << "DelayTable none\nWtmpLog off\nTransferLog none\nUseReverseDNS off\n"
      << "<IfModule mod_ctrls.c>\n  ControlsEngine off\n</IfModule>\n"
      << "ModulePath /usr/lib/proftpd\nLoadModule mod_sftp.c\nLoadModule mod_vroot.c\n"
      << "AuthOrder mod_auth_file.c\nAuthUserFile " << srv << "/passwd\nAuthGroupFile " << srv
      << "/group\nRequireValidShell off\n"
      // A chroot without privileges: the login's home is the served root.
      << "VRootEngine on\nDefaultRoot ~\n"
      << "SFTPEngine on\nSFTPLog " << srv << "/sftp.log\nSFTPHostKey " << srv
      << "/llave_host\nSFTPAuthMethods publickey\nSFTPAuthorizedUserKeys file:" << srv
      << "/autorizadas/%u\n";
    escribe_archivo(srv + "/proftpd.conf", c.str());

    std::istringstream publica(lee_archivo(srv + "/llave_host.pub"));
    std::string tipo, cuerpo;
    publica >> tipo >> cuerpo;
    escribe_archivo(ssh + "/known_hosts",
                    "[127.0.0.1]:" + std::to_string(puerto_) + " " + tipo + " " + cuerpo + "\n");

    if (root) {
        // The server runs as nobody: everything it reads or serves is nobody's, and
        // the folders above it open to all.
        fs::permissions(b, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
        for (const auto &e : fs::recursive_directory_iterator(b)) {
            if (lchown(e.path().c_str(), uid, gid) != 0) {
                throw std::runtime_error("lchown " + e.path().string());
            }
        }
    }

    hijo_ = fork();
    if (hijo_ == 0) {
        int salida = open((srv + "/salida.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(salida, STDOUT_FILENO);
        dup2(salida, STDERR_FILENO);
        if (root && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) {
            _exit(126);
        }
        execl("/usr/sbin/proftpd", "proftpd", "-n", "-c", (srv + "/proftpd.conf").c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    // Ready once it says so: a probing connection would stand in its log as a session.
    for (int i = 0; lee_archivo(srv + "/salida.log").find("mode STARTUP") == std::string::npos;
         ++i) {
        int estado = 0;
        if (i > 300 || waitpid(hijo_, &estado, WNOHANG) == hijo_) {
            kill(hijo_, SIGKILL);
            waitpid(hijo_, nullptr, 0);
            hijo_ = -1;
            throw std::runtime_error("proftpd no arrancó: " + lee_archivo(srv + "/salida.log"));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

HostProftpd::~HostProftpd() {
    if (hijo_ > 0) {
        kill(hijo_, SIGTERM);
        waitpid(hijo_, nullptr, 0);
    }
}

std::string HostProftpd::ruta_local_remota(const std::string &nombre) const {
    return raiz_ + "/D:/IDE/" + login_ + "/Acuses/" + nombre;
}

void HostProftpd::crea_remoto(const std::string &nombre, const std::string &contenido) const {
    escribe_archivo(ruta_local_remota(nombre), contenido);
}

std::string HostProftpd::registro() const {
    return lee_archivo(base_.ruta() + "/servidor/sftp.log");
}
