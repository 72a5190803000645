// The texts the command passes in: host addresses, Windows paths and name
// patterns, and the names a listing may hand back to it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sockvor {

struct Direccion {
    std::string host; // name, address or Host alias, brackets removed
    int puerto = 0;   // 0 when the address names none (the SSH configuration decides)
};

// "host", "host:port", "[v6addr]:port", "[v6addr]" or a bare IPv6 address.
std::optional<Direccion> lee_direccion(std::string_view ip);

struct RutaRemota {
    std::string carpeta; // SFTP form, e.g. /D:/IDE/x1/Acuses
    std::string nombre;  // last component, e.g. *201305*.xml
};

// D:\IDE\x1\Acuses\*201305*.xml -> {/D:/IDE/x1/Acuses, *201305*.xml}. Either
// slash separates; a path that already starts with '/' is taken as SFTP form.
std::optional<RutaRemota> ruta_sftp(std::string_view windows);

// Windows wildcard matching as the host would do it on one name: '*' is any
// run of bytes, '?' one byte, everything else itself, case-sensitively.
bool coincide(std::string_view patron, std::string_view nombre);

// The same, with ASCII letters matched regardless of case, as the host's file
// system compares names: a name that matches only so is one the host would
// give for the pattern and `coincide` does not take.
bool coincide_ignorando_mayusculas(std::string_view patron, std::string_view nombre);

bool tiene_comodin(std::string_view texto);

// `nombre` inside `carpeta`, an SFTP or a local path: "/" + "a" is "/a".
std::string en_carpeta(const std::string &carpeta, std::string_view nombre);

// Why the command's walk over the list could not split `nombre` back out
// (it ends the name at the first "xml" and needs one separator byte between
// names), or nothing when the name is safe to list.
std::optional<std::string> nombre_inseparable(std::string_view nombre);

} // namespace sockvor
