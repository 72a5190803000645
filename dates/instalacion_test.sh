#!/usr/bin/env bash
# Installs the date family's components into a throwaway prefix and builds what a
# site would build against it: a C program with pkg-config (linked to the shared
# library, and again to the archive) and a C++ project with find_package(fechas).
# Each must run and give the family's answers; the command runs from the prefix.
#
#   dates/instalacion_test.sh BUILD CC CXX [FLAGS]   (FLAGS: the build's sanitizer flags)
set -euo pipefail
build=$1 cc=$2 cxx=$3 banderas=${4:-}
fuente=$(cd "$(dirname "$0")" && pwd)
trabajo=$(mktemp -d)
trap 'rm -rf "$trabajo"' EXIT
falla() {
    echo "instalacion_fechas: $*" >&2
    exit 1
}

prefijo=$trabajo/prefijo
for componente in libfechas libfechas_dev fechas; do
    cmake --install "$build" --prefix "$prefijo" --component "$componente" >/dev/null
done
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefijo" -name fechas.pc)")
libdir=$(pkg-config --variable=libdir fechas)
biblioteca=$(realpath "$libdir/libfechas.so.1")
[ "$(dirname "$biblioteca")" = "$(realpath "$prefijo")/$(realpath --relative-to="$prefijo" "$libdir")" ] ||
    falla "libfechas.so.1 is not under the prefix: $biblioteca"

# The library exports the version script's names and nothing else.
exportados=$(nm -D --defined-only "$biblioteca" | awk '{print $3}' | sort)
esperados=$( (sed -n 's/^ *\([a-z_]*\);$/\1@@FECHAS_1/p' "$fuente/fechas.map"; echo FECHAS_1) | sort)
[ "$exportados" = "$esperados" ] || falla "exports differ from fechas.map: $exportados"
readelf -d "$biblioteca" | grep -q 'SONAME.*\[libfechas.so.1\]' || falla "no SONAME libfechas.so.1"

esperado_c='01032013 41333 5
41439 15/6/2013
01012100 funcion: bisiesto()'
# shellcheck disable=SC2046,SC2086 # pkg-config's flags are words
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror $banderas $(pkg-config --cflags fechas) \
    -o "$trabajo/prueba_c" "$fuente/instalacion/prueba.c" $(pkg-config --libs fechas) -Wl,-rpath,"$libdir"
readelf -d "$trabajo/prueba_c" | grep -q 'NEEDED.*\[libfechas.so.1\]' || falla "C program: no libfechas.so.1"
[ "$(env -u LD_LIBRARY_PATH "$trabajo/prueba_c")" = "$esperado_c" ] || falla "C program: $("$trabajo/prueba_c")"

# The archive needs only what Libs.private names, even linked by the C driver.
# shellcheck disable=SC2046,SC2086
"$cc" -std=c99 $banderas $(pkg-config --cflags fechas) -o "$trabajo/prueba_c_estatica" \
    "$fuente/instalacion/prueba.c" -Wl,-Bstatic $(pkg-config --static --libs fechas) -Wl,-Bdynamic
! readelf -d "$trabajo/prueba_c_estatica" | grep -q 'libfechas' || falla "static C program needs libfechas"
[ "$("$trabajo/prueba_c_estatica")" = "$esperado_c" ] || falla "static C program: $("$trabajo/prueba_c_estatica")"

cmake -S "$fuente/instalacion" -B "$trabajo/cpp" -G Ninja -DCMAKE_PREFIX_PATH="$prefijo" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror $banderas" \
    -DCMAKE_EXE_LINKER_FLAGS="$banderas" >/dev/null
cmake --build "$trabajo/cpp" >/dev/null
readelf -d "$trabajo/cpp/prueba_cpp" | grep -q 'NEEDED.*\[libfechas.so.1\]' || falla "C++ program: no libfechas.so.1"
cargada=$(env -u LD_LIBRARY_PATH LD_TRACE_LOADED_OBJECTS=1 "$trabajo/cpp/prueba_cpp" |
    sed -n 's/^[[:space:]]*libfechas.so.1 => \(.*\) (0x.*/\1/p')
[ "$(realpath "$cargada")" = "$biblioteca" ] || falla "C++ program loads libfechas.so.1 from '$cargada'"
salida=$(env -u LD_LIBRARY_PATH "$trabajo/cpp/prueba_cpp")
[ "$salida" = "15062013 6 36160" ] || falla "C++ program: $salida"

salida=$(env -u LD_LIBRARY_PATH "$prefijo/bin/fechas" dias 15/06/2013)
[ "$salida" = 41439 ] || falla "installed command: $salida"
echo "instalacion_fechas: ok"
