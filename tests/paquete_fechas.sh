#!/usr/bin/env bash
# Checks the date family's Debian packages, made beside acuses_<version>_<arch>.deb:
# lintian, what each holds, and that they work from a throwaway root unpacked with
# dpkg -x: the command runs, and a C program builds with the -dev package's .pc.
#
#   tests/paquete_fechas.sh BUILD-FOLDER VERSION
set -euo pipefail
carpeta=$(realpath "$1")
version=$2
arquitectura=$(dpkg --print-architecture)
fuente=$(cd "$(dirname "$0")/.." && pwd)
trabajo=$(mktemp -d /tmp/fechas-paquete.XXXXXX)
trap 'rm -rf "$trabajo"' EXIT
falla() {
    echo "paquete_fechas: $*" >&2
    exit 1
}
deb() { echo "$carpeta/${1}_${version}_$arquitectura.deb"; }

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=usr/lib/$multiarch
declare -A contenido=(
    [libfechas1]="$lib/libfechas.so.1 $lib/libfechas.so.1.0.0 usr/share/doc/libfechas1/copyright"
    [libfechas-dev]="usr/include/fechas.h $lib/libfechas.so $lib/libfechas.a $lib/pkgconfig/fechas.pc
        $lib/cmake/fechas/fechasConfig.cmake $lib/cmake/fechas/fechasConfigVersion.cmake
        $lib/cmake/fechas/fechasTargets.cmake usr/share/man/man3/fechas.3.gz
        usr/share/doc/libfechas-dev/copyright"
    [fechas]="usr/bin/fechas usr/share/man/man1/fechas.1.gz usr/share/doc/fechas/copyright"
)
raiz=$trabajo/raiz
for paquete in libfechas1 libfechas-dev fechas; do
    deb=$(deb "$paquete")
    [ -f "$deb" ] || falla "no $deb"
    if command -v lintian >/dev/null; then
        lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$trabajo/lintian" 2>&1 ||
            falla "lintian on $paquete: $(grep -v 'root privileges' "$trabajo/lintian")"
    fi
    # Each file in its own package only.
    dpkg-deb -x "$deb" "$trabajo/$paquete"
    for f in ${contenido[$paquete]}; do
        [ -e "$trabajo/$paquete/$f" ] || [ -L "$trabajo/$paquete/$f" ] || falla "$paquete lacks $f"
    done
    dpkg -x "$deb" "$raiz"
done
[ "$(find "$trabajo/libfechas1" -type f -path '*/bin/*' -o -type f -name '*.h' | wc -l)" -eq 0 ] ||
    falla "libfechas1 holds more than the library"

control() { dpkg-deb --field "$(deb "$1")" "$2"; }
# The library needs the C library alone; the -dev package takes exactly its version.
[ "$(control libfechas1 Depends)" = "$(control libfechas1 Depends | grep -o '^libc6[^,]*')" ] ||
    falla "libfechas1 Depends: $(control libfechas1 Depends)"
[ "$(control libfechas-dev Depends)" = "libfechas1 (= $version)" ] ||
    falla "libfechas-dev Depends: $(control libfechas-dev Depends)"
control fechas Depends | grep -q "^libfechas1 (>= $version)" || falla "fechas Depends: $(control fechas Depends)"
dpkg-deb --ctrl-tarfile "$(deb libfechas1)" | tar -t >"$trabajo/control"
for f in shlibs symbols triggers; do
    grep -qx "./$f" "$trabajo/control" || falla "libfechas1 has no $f"
done
! grep -qE '/(postinst|postrm)$' "$trabajo/control" || falla "libfechas1 has maintainer scripts"

for pagina in man1/fechas.1.gz man3/fechas.3.gz; do
    man --warnings -E UTF-8 -l -Tutf8 -Z "$raiz/usr/share/man/$pagina" >/dev/null 2>"$trabajo/man.err"
    [ ! -s "$trabajo/man.err" ] || falla "$pagina: $(cat "$trabajo/man.err")"
done

# In the system's library folder neither the library nor the command carries a RUNPATH.
for f in "$raiz/$lib/libfechas.so.1.0.0" "$raiz/usr/bin/fechas"; do
    ! readelf -d "$f" | grep -qE 'RUNPATH|RPATH' || falla "$f has a RUNPATH"
done
export LD_LIBRARY_PATH=$raiz/$lib
[ "$("$raiz/usr/bin/fechas" semana 15/06/2013)" = 6 ] || falla "the packaged command does not answer"

# acuses keeps the family inside it.
dpkg-deb -x "$(deb acuses)" "$trabajo/acuses"
! readelf -d "$trabajo/acuses/usr/bin/acuses" | grep -q libfechas || falla "acuses needs libfechas"

# The .pc file finds the root it was unpacked in.
export PKG_CONFIG_PATH=$raiz/$lib/pkgconfig
# shellcheck disable=SC2046 # pkg-config's flags are words
cc -std=c99 -o "$trabajo/prueba" "$fuente/dates/instalacion/prueba.c" $(pkg-config --cflags --libs fechas)
"$trabajo/prueba" | grep -qx '01032013 41333 5' || falla "a program built on the packages: $("$trabajo/prueba")"
echo "paquete_fechas: ok"
