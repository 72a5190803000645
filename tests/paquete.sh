#!/usr/bin/env bash
# Checks the Debian package: unpacks it with dpkg -x into a throwaway root, as
# nothing but files, and runs the program from there against the test SFTP host.
# The program must find its libSockVor.so through RUNPATH, with no help from the
# environment, and read its SSH setup from $HOME/.ssh.
#
#   tests/paquete.sh acuses_<version>_<arch>.deb
set -euo pipefail
deb=$(realpath "$1")
fuente=$(cd "$(dirname "$0")/.." && pwd)
trabajo=$(mktemp -d /tmp/acuses-paquete.XXXXXX)
host=
limpia() {
    if [ -n "$host" ]; then
        kill "$host" 2>/dev/null || true
        wait "$host" 2>/dev/null || true
    fi
    rm -rf "$trabajo"
}
trap limpia EXIT
falla() {
    echo "paquete: $*" >&2
    exit 1
}

# --- The package itself -----------------------------------------------------------
control=$(dpkg-deb --field "$deb")
grep -qx 'Package: acuses' <<<"$control" || falla "package name: $control"
# dpkg-shlibdeps ran and saw what our library links.
grep -q '^Depends:.*libssh' <<<"$control" || falla "no libssh in Depends: $control"
if command -v lintian >/dev/null; then
    lintian --fail-on error --tag-display-limit 0 "$deb" >"$trabajo/lintian" 2>&1 && estado=0 || estado=$?
    grep -v 'root privileges' "$trabajo/lintian" || true
    [ "$estado" -eq 0 ] || falla "lintian reports errors"
fi

raiz=$trabajo/raiz
dpkg -x "$deb" "$raiz"
programa=$raiz/usr/bin/acuses
[ -x "$programa" ] || falla "no usr/bin/acuses"
for f in share/man/man1/acuses.1.gz share/doc/acuses/copyright share/doc/acuses/changelog.gz \
    share/doc/acuses/examples/acuses.service share/doc/acuses/examples/acuses.timer \
    share/doc/acuses/examples/acuses.cron share/doc/acuses/examples/acuses.default; do
    [ -s "$raiz/usr/$f" ] || falla "no usr/$f"
done
man --warnings -E UTF-8 -l -Tutf8 -Z "$raiz/usr/share/man/man1/acuses.1.gz" >/dev/null 2>"$trabajo/man.err"
[ ! -s "$trabajo/man.err" ] || falla "man page warnings: $(cat "$trabajo/man.err")"

# The template units, one instance per host, each reading /etc/acuses/<instance>.conf.
unidades=$raiz/usr/lib/systemd/system
for u in acuses@.service acuses@.timer; do
    [ -s "$unidades/$u" ] || falla "no usr/lib/systemd/system/$u"
done
# shellcheck disable=SC2016 # the unit's own ${VAR}, not the shell's
for linea in 'EnvironmentFile=/etc/acuses/%i.conf' \
    'ExecStart=/usr/bin/acuses ${ACUSES_HOST} ${ACUSES_LOGIN} ${ACUSES_DEPOSITO}'; do
    grep -Fqx "$linea" "$unidades/acuses@.service" || falla "acuses@.service lacks $linea"
done
if command -v systemd-analyze >/dev/null; then
    # The template's instance and the single-host example, each with its timer and with
    # the program where the unpacked package has it, so that verify finds it executable.
    # Settings it ignores are only warned about: any line about our units fails.
    mkdir "$trabajo/unidades"
    ejemplos=$raiz/usr/share/doc/acuses/examples
    for u in "$unidades/acuses@.service" "$ejemplos/acuses.service"; do
        sed "s|^ExecStart=/usr/bin/acuses |ExecStart=$programa |" "$u" \
            >"$trabajo/unidades/$(basename "$u")"
    done
    cp "$unidades/acuses@.timer" "$ejemplos/acuses.timer" "$trabajo/unidades/"
    servicios=("$trabajo/unidades/acuses@prueba.service" "$trabajo/unidades/acuses.service")
    informe=$(systemd-analyze verify --man=no "${servicios[@]}" \
        "$trabajo/unidades/acuses@prueba.timer" "$trabajo/unidades/acuses.timer" 2>&1) &&
        estado=0 || estado=$?
    [ "$estado" -eq 0 ] && ! grep -Eq 'acuses(@|\.service|\.timer)' <<<"$informe" ||
        falla "systemd-analyze verify: $informe"
    # Each service's sandbox: an exposure of 1.5 at most, out of systemd-analyze's 10.
    for u in "${servicios[@]}"; do
        informe=$(systemd-analyze security --offline=yes --threshold=15 "$u" 2>&1) ||
            falla "systemd-analyze security $(basename "$u"): $(tail -n 1 <<<"$informe")"
    done
fi

# The library sits where the program's RUNPATH says, and nowhere in the system's
# search path.
dinamica=$(readelf -d "$programa")
grep -q 'NEEDED.*\[libSockVor.so\]' <<<"$dinamica" || falla "acuses does not need libSockVor.so"
runpath=$(sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p' <<<"$dinamica")
case $runpath in
'$ORIGIN/'*) ;;
*) falla "RUNPATH is '$runpath', not relative to \$ORIGIN" ;;
esac
biblioteca=$(realpath -m "$raiz/usr/bin/${runpath#\$ORIGIN/}/libSockVor.so")
[ -f "$biblioteca" ] || falla "libSockVor.so not at $biblioteca"
case $biblioteca in
"$raiz"/usr/lib/?*/?*/libSockVor.so) ;;
*) falla "libSockVor.so is in a system library folder: $biblioteca" ;;
esac
cargadas=$(env -u LD_LIBRARY_PATH LD_TRACE_LOADED_OBJECTS=1 "$programa")
cargada=$(sed -n 's/^[[:space:]]*libSockVor.so => \(.*\) (0x.*/\1/p' <<<"$cargadas")
[ -n "$cargada" ] && [ "$(realpath "$cargada")" = "$biblioteca" ] ||
    falla "the loader does not pick $biblioteca: $cargadas"

salida=$(env -u LD_LIBRARY_PATH "$programa" 2>&1) && estado=0 || estado=$?
[ "$estado" -eq 1 ] || falla "no arguments: status $estado"
[ "$salida" = "Uso: $programa    ipRemota  loginRemoto, rutaDespositoAcuse" ] ||
    falla "no arguments: $salida"

# --- Against the test host ------------------------------------------------------------
login=paquete
mes=$(date +%Y%m)
anterior=$(date -d "$(date +%Y-%m-15) -1 month" +%Y%m)
acuses="$trabajo/host/D:/IDE/$login/Acuses"
casa=$trabajo/casa
deposito=$trabajo/deposito
mkdir -p "$acuses" "$casa/.ssh" "$deposito"
printf '<acuse mes="%s" n="1"/>\n' "$mes" >"$acuses/A_${mes}01_1.xml"
head -c 70000 /dev/urandom >"$acuses/A_${mes}02_2.xml"
printf '<acuse mes="%s" n="1"/>\n' "$anterior" >"$acuses/A_${anterior}28_1.xml"
printf 'otro mes\n' >"$acuses/A_200001_1.xml"
printf 'no es un acuse\n' >"$acuses/notas_${mes}.txt"

ssh-keygen -q -t ed25519 -N '' -f "$trabajo/llave_host"
ssh-keygen -q -t ed25519 -N '' -f "$casa/.ssh/id_ed25519"
/usr/bin/python3 -W ignore "$fuente/tests/sftp_host.py" --root "$trabajo/host" \
    --host-key "$trabajo/llave_host" --authorized-keys "$casa/.ssh/id_ed25519.pub" \
    >"$trabajo/puerto" 2>"$trabajo/host.log" &
host=$!
until [ -s "$trabajo/puerto" ]; do
    kill -0 "$host" 2>/dev/null || falla "the test host did not start: $(cat "$trabajo/host.log")"
    sleep 0.1
done
puerto=$(head -n 1 "$trabajo/puerto")
cat >"$casa/.ssh/config" <<CONFIG
Host windows-prueba
    HostName 127.0.0.1
    Port $puerto
    ConnectTimeout 20
CONFIG

corre() {
    env -u LD_LIBRARY_PATH -u SSH_AUTH_SOCK HOME="$casa" "$programa" windows-prueba "$login" "$deposito/"
}

# An untrusted host is refused: the program reads this HOME's known_hosts.
: >"$casa/.ssh/known_hosts"
salida=$(corre) && estado=0 || estado=$?
[ "$estado" -eq 3 ] || falla "unknown host key: status $estado: $salida"
[[ $salida == " ERROR Al Buscar Acuses: "* ]] || falla "unknown host key: $salida"
[ -z "$(ls -A "$deposito")" ] || falla "unknown host key: files deposited"

echo "[127.0.0.1]:$puerto $(cut -d' ' -f1,2 "$trabajo/llave_host.pub")" >"$casa/.ssh/known_hosts"
salida=$(corre) && estado=0 || estado=$?
if [ "$(date +%Y%m)" != "$mes" ]; then
    echo "paquete: the month changed during the run; skipped"
    exit 77
fi
[ "$estado" -eq 0 ] || falla "fetch: status $estado: $salida"
[ "$salida" = " Se Depositaron 3 Acuses en $deposito" ] || falla "fetch: $salida"
[ "$(ls -A "$deposito" | sort)" = "$(printf '%s\n' "A_${anterior}28_1.xml" "A_${mes}01_1.xml" "A_${mes}02_2.xml" | sort)" ] ||
    falla "deposit holds: $(ls -A "$deposito")"
for f in "A_${mes}01_1.xml" "A_${mes}02_2.xml" "A_${anterior}28_1.xml"; do
    cmp -s "$acuses/$f" "$deposito/$f" || falla "$f differs from the host's"
done
echo "paquete: ok ($(basename "$deb"))"
