// SSH's binary encoding, shared by SFTP packets, agent messages and key files:
// big-endian integers and strings that carry their own length. A message is
// built field by field with its length put in front; one read from bytes that
// are trusted for nothing checks every length against what is left.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sockvor {

inline void agrega_u32(std::string &destino, std::uint32_t v) {
    for (int corrimiento = 24; corrimiento >= 0; corrimiento -= 8) {
        destino += static_cast<char>((v >> corrimiento) & 0xff);
    }
}

// A string as SSH writes it inside a structure (a key, a signature): its length, then its bytes.
inline void agrega_cadena(std::string &destino, std::string_view s) {
    agrega_u32(destino, static_cast<std::uint32_t>(s.size()));
    destino.append(s);
}

// One message as it goes on the wire: its type, fields appended in order, then
// its length put in front.
class Escritor {
  public:
    explicit Escritor(std::uint8_t tipo) {
        bytes_.resize(4);
        u8(tipo);
    }
    Escritor &u8(std::uint8_t v) {
        bytes_ += static_cast<char>(v);
        return *this;
    }
    Escritor &u32(std::uint32_t v) {
        agrega_u32(bytes_, v);
        return *this;
    }
    Escritor &u64(std::uint64_t v) {
        u32(static_cast<std::uint32_t>(v >> 32));
        return u32(static_cast<std::uint32_t>(v));
    }
    Escritor &cadena(std::string_view s) {
        agrega_cadena(bytes_, s);
        return *this;
    }
    std::string termina() {
        std::string largo;
        agrega_u32(largo, static_cast<std::uint32_t>(bytes_.size() - 4));
        bytes_.replace(0, 4, largo);
        return std::move(bytes_);
    }

  private:
    std::string bytes_;
};

// Reads fields off a message; the first field that does not fit makes it fail for good.
class Lector {
  public:
    explicit Lector(std::string_view datos) : resto_(datos) {}

    bool u8(std::uint8_t &v) {
        if (!toma(1)) {
            return false;
        }
        v = static_cast<std::uint8_t>(tomado_[0]);
        return true;
    }
    bool u32(std::uint32_t &v) {
        if (!toma(4)) {
            return false;
        }
        v = 0;
        for (char c : tomado_) {
            v = (v << 8) | static_cast<std::uint8_t>(c);
        }
        return true;
    }
    bool u64(std::uint64_t &v) {
        std::uint32_t alto = 0, bajo = 0;
        if (!u32(alto) || !u32(bajo)) {
            return false;
        }
        v = (std::uint64_t{alto} << 32) | bajo;
        return true;
    }
    bool cadena(std::string_view &v) {
        std::uint32_t largo = 0;
        if (!u32(largo) || !toma(largo)) {
            return false;
        }
        v = tomado_;
        return true;
    }
    // `n` raw bytes, without a length in front.
    bool bytes(std::size_t n, std::string_view &v) {
        if (!toma(n)) {
            return false;
        }
        v = tomado_;
        return true;
    }
    std::size_t quedan() const { return resto_.size(); }

  private:
    bool toma(std::size_t n) {
        if (n > resto_.size()) {
            resto_ = {};
            return false;
        }
        tomado_ = resto_.substr(0, n);
        resto_.remove_prefix(n);
        return true;
    }

    std::string_view resto_;
    std::string_view tomado_;
};

} // namespace sockvor
