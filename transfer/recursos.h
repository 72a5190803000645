// Owners for the C handles the library holds, so every early return and
// exception path releases them.
#pragma once

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <memory>
#include <unistd.h>
#include <utility>

namespace sockvor {

struct LiberaSsh {
    void operator()(ssh_session s) const { ssh_free(s); }
};
struct LiberaSftp {
    void operator()(sftp_session s) const { sftp_free(s); }
};
struct LiberaAtributos {
    void operator()(sftp_attributes a) const { sftp_attributes_free(a); }
};
struct LiberaLlave {
    void operator()(ssh_key k) const { ssh_key_free(k); }
};

using SesionSsh = std::unique_ptr<ssh_session_struct, LiberaSsh>;
using SesionSftp = std::unique_ptr<sftp_session_struct, LiberaSftp>;
using Atributos = std::unique_ptr<sftp_attributes_struct, LiberaAtributos>;
using Llave = std::unique_ptr<ssh_key_struct, LiberaLlave>;

class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor &&otro) noexcept : fd_(std::exchange(otro.fd_, -1)) {}
    Descriptor &operator=(Descriptor &&otro) noexcept {
        if (this != &otro) {
            cierra();
            fd_ = std::exchange(otro.fd_, -1);
        }
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor() { cierra(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Returns close()'s own result: on some file systems a write error shows up only here.
    int cierra() {
        int r = 0;
        if (fd_ >= 0) {
            r = ::close(fd_);
        }
        fd_ = -1;
        return r;
    }

  private:
    int fd_ = -1;
};

} // namespace sockvor
