// How the date fuzzers cut their input into lines.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

// The line that starts at `desde`, which then moves past it. The routines see
// terminated texts, so a line ends at its first zero byte too.
inline std::string linea(const std::string &todo, std::size_t &desde) {
    const std::size_t fin = std::min(todo.find('\n', desde), todo.size());
    std::string uno = todo.substr(desde, fin - desde).c_str();
    desde = fin < todo.size() ? fin + 1 : fin;
    return uno;
}
