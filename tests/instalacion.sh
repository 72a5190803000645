#!/bin/sh
# Installs the build into a throwaway prefix and runs the program from there: it
# must find libSockVor.so through its own RUNPATH, with no help from the environment.
set -eu
build=$1
prefijo=$(mktemp -d)
trap 'rm -rf "$prefijo"' EXIT
cmake --install "$build" --prefix "$prefijo" >/dev/null
readelf -d "$prefijo/bin/acuses" | grep -q 'NEEDED.*\[libSockVor.so\]'
readelf -d "$prefijo/bin/acuses" | grep -q 'RUNPATH.*\[\$ORIGIN/../lib\]'
test -f "$prefijo/lib/libSockVor.so"
salida=$(env -u LD_LIBRARY_PATH "$prefijo/bin/acuses" 2>&1) && estado=0 || estado=$?
test "$estado" -eq 1
test "$salida" = "Uso: $prefijo/bin/acuses    ipRemota  loginRemoto, rutaDespositoAcuse"
echo "instalacion: ok"
