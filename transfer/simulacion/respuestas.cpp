// What the played host answers to each request, and the faults it may put in.
#include "simulacion/host_simulado.h"

namespace sockvor::simulacion {

void Canal::atiende(const Pedido &p) {
    if (p.tipo == sftp::OPEN) {
        std::uint8_t falla = host_.decide.byte();
        auto it = host_.archivos.find(p.ruta);
        std::string respuesta;
        host_.anota("abre " + p.ruta + " (canal " + std::to_string(numero_) + ")");
        if (it == host_.archivos.end()) {
            respuesta = estado(p.id, sftp::FX_NO_SUCH_FILE, "No such file");
        } else if (falla >= 230 && falla < 236) {
            host_.tropieza(p.ruta, "falla al abrir");
            respuesta = estado(p.id, sftp::FX_FAILURE, "Failure");
        } else if (falla >= 236 && falla < 240) {
            host_.tropieza(p.ruta, "permiso denegado al abrir");
            respuesta = estado(p.id, sftp::FX_PERMISSION_DENIED, "Permission denied");
        } else if (falla >= 240 && falla < 245) {
            host_.tropieza(p.ruta, "handle malformado");
            respuesta = Paquete(sftp::HANDLE).u32(p.id).u32(300).termina(); // string past the end
        } else if (falla >= 245 && falla < 250) {
            host_.tropieza(p.ruta, "otra cosa al abrir");
            respuesta = Paquete(sftp::DATA).u32(p.id).cadena("?").termina();
        } else {
            std::string h = "h" + std::to_string(siguiente_handle_++);
            handles_[h] = p.ruta;
            respuesta = Paquete(sftp::HANDLE).u32(p.id).cadena(h).termina();
        }
        atendidos_.push_back(std::move(respuesta));
        return;
    }
    auto it = handles_.find(p.handle);
    exige(host_, it != handles_.end(), "la biblioteca usa solo handles abiertos");
    std::string ruta = it->second;
    if (p.tipo == sftp::CLOSE) {
        host_.anota("cierra " + ruta);
        handles_.erase(it);
        atendidos_.push_back(estado(p.id, sftp::FX_OK));
    } else if (p.tipo == sftp::READ) {
        atendidos_.push_back(responde_lectura(p, ruta));
    } else if (p.tipo == sftp::FSTAT) {
        atendidos_.push_back(responde_medida(p, ruta));
    } else {
        host_.aborta("la biblioteca pide de un archivo solo lecturas, medidas y cierres");
    }
}

std::string Canal::responde_lectura(const Pedido &p, const std::string &ruta) {
    const auto &bytes = host_.archivos.at(ruta).actual().bytes;
    std::uint8_t falla = host_.decide.byte();
    host_.anota("lee " + ruta + " " + std::to_string(p.desde) + "+" + std::to_string(p.largo));
    if (p.desde >= bytes.size()) {
        return estado(p.id, sftp::FX_EOF, "EOF");
    }
    std::size_t hay = std::min<std::size_t>(p.largo, bytes.size() - p.desde);
    if (falla >= 200 && falla < 220 && hay > 1) {
        hay = 1 + host_.decide.entre(hay - 1); // a short read, which any host may send
        host_.anota("  corta: " + std::to_string(hay));
    } else if (falla >= 220 && falla < 228) {
        host_.tropieza(ruta, "fin temprano");
        return estado(p.id, sftp::FX_EOF, "EOF");
    } else if (falla >= 228 && falla < 234) {
        host_.tropieza(ruta, "falla al leer");
        return estado(p.id, sftp::FX_FAILURE, "Failure");
    } else if (falla >= 234 && falla < 240) {
        host_.tropieza(ruta, "datos malformados");
        return Paquete(sftp::DATA).u32(p.id).u32(hay + 10).termina(); // shorter than it says
    } else if (falla >= 240 && falla < 244) {
        host_.tropieza(ruta, "datos de más");
        return Paquete(sftp::DATA).u32(p.id).cadena(std::string(p.largo + 1, 'x')).termina();
    } else if (falla >= 244 && falla < 248) {
        host_.tropieza(ruta, "otra cosa al leer");
        return Paquete(sftp::HANDLE).u32(p.id).cadena("h").termina();
    }
    return Paquete(sftp::DATA).u32(p.id).cadena(bytes.substr(p.desde, hay)).termina();
}

std::string Canal::responde_medida(const Pedido &p, const std::string &ruta) {
    const auto &v = host_.archivos.at(ruta).actual();
    std::uint8_t falla = host_.decide.byte();
    constexpr std::uint32_t con_todo = 0x1 | 0x4 | 0x8;
    std::uint64_t tamano = v.bytes.size();
    host_.anota("mide " + ruta + ": " + std::to_string(tamano) + " bytes, mtime " +
                std::to_string(v.mtime));
    if (falla >= 220 && falla < 230) {
        host_.tropieza(ruta, "un tamaño que no tiene");
        tamano += 1;
    } else if (falla >= 230 && falla < 235) {
        host_.tropieza(ruta, "una medida sin mtime");
        return Paquete(sftp::ATTRS).u32(p.id).u32(0x1).u64(tamano).termina();
    } else if (falla >= 235 && falla < 240) {
        host_.tropieza(ruta, "falla al medir");
        return estado(p.id, sftp::FX_FAILURE, "Failure");
    } else if (falla >= 240 && falla < 245) {
        host_.tropieza(ruta, "una medida malformada");
        return Paquete(sftp::ATTRS).u32(p.id).u32(con_todo).u64(tamano).termina();
    }
    return Paquete(sftp::ATTRS)
        .u32(p.id)
        .u32(con_todo)
        .u64(tamano)
        .u32(0100644)
        .u32(v.mtime)
        .u32(v.mtime)
        .termina();
}

} // namespace sockvor::simulacion
