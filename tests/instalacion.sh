#!/bin/sh
# Installs the build into a throwaway prefix and runs the program from there: it
# must find libSockVor.so through its own RUNPATH, with no help from the environment.
# Then runs the demo on this build, as an operator would: it must end with the
# program's status and leave nothing behind, neither its folder nor its SFTP host,
# whether it succeeds or fails.
set -eu
build=$1
fuente=$(cd "$(dirname "$0")/.." && pwd)
prefijo=$(mktemp -d)
temporal=$(mktemp -d)
trap 'rm -rf "$prefijo" "$temporal"' EXIT
falla() {
    echo "instalacion: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefijo" >/dev/null
readelf -d "$prefijo/bin/acuses" | grep -q 'NEEDED.*\[libSockVor.so\]'
readelf -d "$prefijo/bin/acuses" | grep -q 'RUNPATH.*\[\$ORIGIN/../lib\]'
test -f "$prefijo/lib/libSockVor.so"
salida=$(env -u LD_LIBRARY_PATH "$prefijo/bin/acuses" 2>&1) && estado=0 || estado=$?
test "$estado" -eq 1
test "$salida" = "Uso: $prefijo/bin/acuses    ipRemota  loginRemoto, rutaDespositoAcuse"

sin_rastro() {
    [ -z "$(ls -A "$temporal")" ] || falla "$1: the demo left $(ls -A "$temporal")"
    for f in /proc/[0-9]*/cmdline; do
        case $(tr '\0' ' ' <"$f" 2>/dev/null) in
        *"$temporal"*) falla "$1: the demo left a process running: $(tr '\0' ' ' <"$f")" ;;
        esac
    done
}
mes=$(date +%Y%m)
salida=$(TMPDIR="$temporal" bash "$fuente/scripts/demo" "$build" 2>&1) && estado=0 || estado=$?
[ "$estado" -eq 0 ] || falla "demo: status $estado: $salida"
case $salida in
*" Se Depositaron 4 Acuses en $temporal/acuses-demo."*/deposito*) ;;
*) [ "$(date +%Y%m)" != "$mes" ] || falla "demo: $salida" ;; # the month changed meanwhile
esac
sin_rastro demo
TMPDIR="$temporal" bash "$fuente/scripts/demo" "$prefijo/no-es-un-build" >/dev/null 2>&1 &&
    falla "a demo that cannot install ended with status 0"
sin_rastro "failed demo"
echo "instalacion: ok"
