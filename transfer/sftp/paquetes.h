// Packet framing of the SFTP stream: where one packet ends and the next begins.
#pragma once

#include "sftp/mensajes.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sockvor::sftp {

// Splits the byte stream of the channel into packets.
class Ensamblador {
  public:
    // Appends `bytes`. Invalidates the packets handed out so far.
    void agrega(std::string_view bytes);
    // The next whole packet (without its length field), or nothing while it is
    // incomplete; it stays valid until the next agrega(). A length over
    // paquete_maximo or under one byte sets `motivo` and returns nothing: the
    // stream cannot be trusted past it.
    std::optional<std::string_view> siguiente(std::string &motivo);
    // The room it holds, read or not: what is unread moves to the front before
    // more is appended, so this stays within twice one packet and one piece.
    std::size_t reservado() const { return capacidad_; }

  private:
    std::unique_ptr<char[]> datos_;
    std::size_t capacidad_ = 0;
    std::size_t inicio_ = 0; // [inicio_, fin_) is unread
    std::size_t fin_ = 0;
};

} // namespace sockvor::sftp
