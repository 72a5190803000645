# shellcheck shell=bash
# One run of one client and what it left behind, sourced by comparar.sh.
# Needs from it: base, bench, home, usuario, mes, anterior, programa, tope, prefijo (what the client
# runs under: empty, or `ip netns exec` for netem).

read -r -a clientes <<<"${ACUSES_CLIENTES:-acuses sftp rclone}"
previa=()

# "vacio" is acuses on a day of a month of which no set holds a file, nor of the month
# before: the connection, the authentication and its two listings of the same folder,
# nothing fetched. The clock is moved by faketime, the monotonic one left alone (the
# watchdog's); its wrapper and preload add about 3 ms to a run (against a run without it
# on a host where both months are empty).
fecha_vacia="$((${mes:0:4} - 5))-${mes:4:2}-15 12:00:00"

# The three fetch the same files: this month's Acuses of the login's folder, into destino,
# and the month before's too where the set holds some (dos_meses_de[alias]): acuses always
# lists both, the peers get a second glob. Each runs under the per-run cap, and under
# /usr/bin/time for its peak memory (for sftp, the larger of sftp and its ssh).
declare -A dos_meses_de
corre() { # cliente alias destino
    local cliente=$1 alias=$2 destino=$3
    local orden=(env -u SSH_AUTH_SOCK HOME="$home" "${prefijo[@]}"
        /usr/bin/time -v -o "$base/tiempo" timeout -k 5 "$tope")
    local meses=("$mes")
    [ -n "${dos_meses_de[$alias]:-}" ] && meses+=("$anterior")
    local m filtros=()
    case $cliente in
    acuses)
        "${orden[@]}" "$programa" "$alias" "$usuario" "$destino"
        ;;
    vacio)
        "${orden[@]}" faketime --exclude-monotonic "$fecha_vacia" \
            "$programa" "$alias" "$usuario" "$destino"
        ;;
    sftp)
        for m in "${meses[@]}"; do
            echo "get /D:/IDE/$usuario/Acuses/*${m}*.xml $destino/"
        done >"$base/lote"
        "${orden[@]}" sftp -q -F "$home/.ssh/config" -b "$base/lote" "$alias"
        ;;
    rclone)
        for m in "${meses[@]}"; do
            filtros+=(--include "*${m}*.xml")
        done
        "${orden[@]}" rclone --config "$base/rclone.conf" copy \
            "$alias:/D:/IDE/$usuario/Acuses" "$destino" "${filtros[@]}"
        ;;
    esac >"$base/salida" 2>&1
}

# The CPU seconds a cgroup's processes have used so far.
cpu_de() { # cgrupo
    awk '$1 == "usage_usec" { printf "%.6f\n", $2 / 1e6 }' "$1/cpu.stat"
}

# Once a run's client has gone, the host's session processes end too: waited for (a few
# seconds at most), so that their last CPU is counted; the listener stays.
espera_sesiones() { # cgrupo
    for _ in $(seq 100); do
        (($(wc -l <"$1/cgroup.procs") <= 1)) && return 0
        sleep 0.03
    done
}

# Prints "<seconds> <peak KiB> <host CPU seconds or ->", or "tope -" when the cap cut the
# run. The host is the cgroup in `cgrupo_host`, if any.
cgrupo_host=""
una_corrida() { # cliente alias destino
    # sftp leaves its files to writeback, which would then compete with the next run's
    # flushes: each run starts with nothing dirty, and pays only for its own writes.
    sync
    # What the disk's row puts beside a run (disco.sh): another process's unflushed data.
    "${previa[@]}"
    local c0=- c1=-
    [ -n "$cgrupo_host" ] && c0=$(cpu_de "$cgrupo_host")
    local t0=$EPOCHREALTIME rc=0
    corre "$@" || rc=$?
    local t1=$EPOCHREALTIME
    if [ -n "$cgrupo_host" ]; then
        espera_sesiones "$cgrupo_host"
        c1=$(cpu_de "$cgrupo_host")
    fi
    if ((rc == 124)); then
        echo "tope -"
        return 0
    fi
    if ((rc != 0)); then
        echo "comparar: $1 falló (estado $rc):" >&2
        cat "$base/salida" >&2
        return 1
    fi
    awk -v a="$t0" -v b="$t1" -v c0="$c0" -v c1="$c1" -F': ' '/Maximum resident set size/ {
        printf "%.4f %d %s\n", b - a, $2, c0 == "-" ? "-" : sprintf("%.4f", c1 - c0) }' \
        "$base/tiempo"
}

# Deposits stay until the end: ext4 skips inodes freed in the last seconds (minutes while
# their table is dirty) when it allocates, so creating files right after deleting thousands
# costs ~0.6 ms each and would swamp what is measured.
nuevo_destino() { mktemp -d "$base/depositos.XXXXXX"; }

# Exactly the set's Acuses of this month (and the month before), byte for byte, and nothing
# else (no temporaries).
revisa() { # destino conjunto
    local sumas=$base/sumas-$2
    if ! diff <(LC_ALL=C ls -A "$1") <(awk '{ print $2 }' "$sumas") >/dev/null ||
        ! (cd "$1" && md5sum --status -c "$sumas"); then
        echo "comparar: $1 no tiene los Acuses del conjunto $2, o tiene algo más" >&2
        return 1
    fi
}

# The empty month's run: nothing deposited, and both months reported without Acuses.
revisa_vacio() { # destino
    local vacios
    vacios=$(grep -c '^ ===> No se encontraron Acuses del mes' "$base/salida" || true)
    if [ -n "$(ls -A "$1")" ] || [ "$vacios" != 2 ] ||
        ! grep -q '^ Se Depositaron 0 Acuses' "$base/salida"; then
        echo "comparar: la corrida del mes vacío trajo algo o no listó los dos meses:" >&2
        cat "$base/salida" >&2
        return 1
    fi
}

# Name, inode and mtime of every file: what a run that rewrites nothing leaves alone.
foto() { find "$1" -maxdepth 1 -type f -printf '%f %i %T@\n' | LC_ALL=C sort; }

reescritos() { # foto-antes foto-despues
    comm -13 "$1" "$2" | wc -l
}

# sshd's VERBOSE line, or sftp_host.py's.
conexiones() { # log
    grep -cE '^connect$|Connection from' "$1" || true
}
