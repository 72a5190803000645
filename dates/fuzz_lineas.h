// How the date fuzzers cut their input into lines.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// The first N lines of the input; those it lacks are empty. The routines see
// terminated texts, so a line ends at its first zero byte too.
template <std::size_t N>
std::array<std::string, N> lineas(const std::uint8_t *datos, std::size_t largo) {
    const std::string todo(reinterpret_cast<const char *>(datos), largo);
    std::array<std::string, N> r;
    std::size_t desde = 0;
    for (std::string &linea : r) {
        const std::size_t fin = std::min(todo.find('\n', desde), todo.size());
        linea = todo.substr(desde, fin - desde).c_str();
        desde = fin < todo.size() ? fin + 1 : fin;
    }
    return r;
}
