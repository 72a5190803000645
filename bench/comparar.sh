#!/usr/bin/env bash
# Times the acuses built from this checkout against OpenSSH's `sftp -b` and `rclone copy`
# (its defaults), all three fetching this month's Acuses from the same chrooted OpenSSH
# sshd (internal-sftp, key-only, host keys checked strictly), and prints one table:
#   - 100 and 2,000 Acuses of 4 KiB on loopback and with 20 ms added each way (netem in a
#     network namespace, or a relay in userspace where the kernel lacks netem); one of
#     1 GiB on loopback (with the delay too only if asked for) and one of 256 MiB with it;
#   - a first run into an empty folder, then a second run into the same folder with nothing
#     new, counting the connections the host saw and the files rewritten;
#   - the peak memory with 20,000 files in the host's folder, 2,000 of them this month's
#     (the command's name list holds 65,536 bytes: about 2,600 names);
#   - for the 2,000 files with the delay, acuses's fixed cost: its run on a day of a month
#     with no Acuses (faketime), against the same host: connection, authentication and the
#     two listings of the same folder, nothing fetched; a note under the table splits
#     acuses's time into that and what the files add;
#   - a folder's history: 100 Acuses of 4 KiB, half this month's and half the month before's,
#     alone and among 50,000 files of twelve older months, on loopback and with the delay;
#     here the peers fetch both months too (two globs, two includes); a note gives what the
#     history adds to acuses's run near and far, and the one over the other;
#   - a busy host: 400 Acuses of 4 KiB on loopback from tests/sftp_host.py answering as a
#     Windows host whose every file open takes 10 ms, one request at a time per channel;
#     a note gives the floor of a client that opens them all through one channel
#     (400 x 10 ms = 4 s) and acuses's time against it (the goal: 0.4 of it);
#   - the 1 GiB file on loopback again into a folder on a tmpfs, for every client: no disk;
#   - median wall time over rounds that alternate the clients' order, median ratios of
#     acuses to each peer within a round, peak resident memory (/usr/bin/time -v);
#   - the host's CPU for the 2,000 files and the large files: each sshd runs in a cgroup
#     (v2) of its own, and a run costs the host that cgroup's usage_usec over it, its
#     session processes waited for; a second table gives it;
#   - a second table, the disk's: acuses alone fetching the 2,000 Acuses on loopback and
#     with the delay into a folder on the disk and into one on a tmpfs, side by side, and
#     the same while another process holds 300 MiB written and not yet flushed on the
#     disk, with how much of that our run left unflushed (see disco.sh).
# Run by hand, as root (it creates a user, chroots, sshds and a namespace, and removes
# them all on exit):
#
#     sudo bash bench/comparar.sh                  # about 12 minutes on 2 quiet cores
#     sudo ACUSES_RAPIDO=1 bash bench/comparar.sh  # a few minutes, smaller sets, to try it
#
# Knobs (environment): ACUSES_RONDAS rounds on loopback (5), ACUSES_RONDAS_LEJOS rounds
# with the delay (3: the delay dominates there), ACUSES_POCOS (100) and ACUSES_MUCHOS
# (2000) Acuses of 4 KiB, ACUSES_GRANDE_MIB size of the large one (1024),
# ACUSES_MEDIANO_MIB size of the one fetched with the delay (256), ACUSES_LISTADOS files in
# the large folder (20000) and ACUSES_LISTADOS_MES of them this month's (2000),
# ACUSES_OCUPADOS Acuses on the busy host (400) and ACUSES_DEMORA_APERTURA its ms per open
# (10), ACUSES_HISTORIA files of older months in the history's folder (50000) and
# ACUSES_HISTORIA_MES Acuses of the two months among them (100), ACUSES_TOPE seconds after
# which a run is cut and its client left out of the rest of that row (60),
# ACUSES_GRANDE_LEJOS=1 to fetch the large file with the delay too, ACUSES_BUILD build
# folder (build-bench), ACUSES_RONDAS_DISCO the disk table's rounds (5), ACUSES_AJENO_MIB
# the other process's unflushed data (300). ACUSES_RAPIDO=1 makes the defaults 1 round,
# 20 and 200 small files, 64 and 32 MiB, 2,000 in the folder with 200 this month's, 100
# on the busy host, 5,000 of history with 20 of the two months, and a cap of 30 s.
# ACUSES_FILAS picks the rows by their set of files, any of "pocos muchos grande mediano
# listados historia ocupado disco" (all of them; disco is the disk's table);
# ACUSES_CLIENTES the clients of the peers' table, any of "acuses sftp rclone" (all
# three): to time one row's acuses alone while working on it, say
#     sudo ACUSES_FILAS=historia ACUSES_CLIENTES=acuses bash bench/comparar.sh
#
# Run it on a quiet machine, and not within minutes of deleting thousands of files on the
# same file system (its own cleanup does): see nuevo_destino in corridas.sh.
set -euo pipefail

bench=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$bench/.." && pwd)
if [ "${ACUSES_RAPIDO:-0}" = 1 ]; then
    rondas=${ACUSES_RONDAS:-1} rondas_lejos=${ACUSES_RONDAS_LEJOS:-1}
    pocos=${ACUSES_POCOS:-20} muchos=${ACUSES_MUCHOS:-200} grande_mib=${ACUSES_GRANDE_MIB:-64}
    mediano_mib=${ACUSES_MEDIANO_MIB:-32}
    listados=${ACUSES_LISTADOS:-2000} listados_mes=${ACUSES_LISTADOS_MES:-200}
    ocupados=${ACUSES_OCUPADOS:-100}
    historia=${ACUSES_HISTORIA:-5000} historia_mes=${ACUSES_HISTORIA_MES:-20}
    tope=${ACUSES_TOPE:-30}
else
    rondas=${ACUSES_RONDAS:-5} rondas_lejos=${ACUSES_RONDAS_LEJOS:-3}
    pocos=${ACUSES_POCOS:-100} muchos=${ACUSES_MUCHOS:-2000} grande_mib=${ACUSES_GRANDE_MIB:-1024}
    mediano_mib=${ACUSES_MEDIANO_MIB:-256}
    listados=${ACUSES_LISTADOS:-20000} listados_mes=${ACUSES_LISTADOS_MES:-2000}
    ocupados=${ACUSES_OCUPADOS:-400}
    historia=${ACUSES_HISTORIA:-50000} historia_mes=${ACUSES_HISTORIA_MES:-100}
    tope=${ACUSES_TOPE:-60}
fi
demora_apertura=${ACUSES_DEMORA_APERTURA:-10}
grande_lejos=${ACUSES_GRANDE_LEJOS:-0}
build=${ACUSES_BUILD:-$repo/build-bench}
usuario=acusesbench
retardo=20ms
mes=$(date +%Y%m)
anterior=$(date -d "$(date +%Y-%m-15) -1 month" +%Y%m)
filas=" ${ACUSES_FILAS:-pocos muchos grande mediano listados historia ocupado disco} "
rondas_disco=${ACUSES_RONDAS_DISCO:-5}
fila() { [[ $filas == *" $1 "* ]]; }

if [ "$(id -u)" -ne 0 ]; then
    echo "comparar: hace falta root (sshd con ChrootDirectory, useradd, ip netns)" >&2
    exit 1
fi
for c in ${ACUSES_CLIENTES:-}; do
    case $c in
    acuses | sftp | rclone) ;;
    *)
        echo "comparar: ACUSES_CLIENTES: cliente desconocido: $c" >&2
        exit 1
        ;;
    esac
done
if [ "${ACUSES_RAPIDO:-0}" != 1 ] && ((rondas < 5)); then
    echo "comparar: al menos 5 rondas (o ACUSES_RAPIDO=1 para probarlo)" >&2
    exit 1
fi
if ((listados_mes > listados)); then
    echo "comparar: ACUSES_LISTADOS_MES no puede pasar de ACUSES_LISTADOS" >&2
    exit 1
fi

# The hosts' sshd, /usr/bin/time, the third client, ip, tc and ss; scripts/setup's own list
# brings faketime and the busy host's python3-asyncssh.
bash "$repo/scripts/setup" openssh-server time rclone iproute2

# --- cleanup, armed before anything is made -----------------------------------------------
# ChrootDirectory and every folder above it must be root's and not writable by others:
# not /tmp.
base=$(mktemp -d /srv/acuses-bench.XXXXXX)
chmod 755 "$base"
home=$base/home
pids=()
ns=""
# Each sshd runs in a cgroup of its own below this one: the host's CPU for a run is its
# usage_usec over the run (cgroup v2; without it that column stays empty).
cgrupos=""
raiz_cgrupos=$(findmnt -t cgroup2 -no TARGET | head -n 1)
usuario_creado=0
run_sshd_creado=0
tmpfs_montado=0
limpia() {
    set +e
    for p in "${pids[@]}"; do
        kill "$p" 2>/dev/null
        wait "$p" 2>/dev/null
    done
    ((tmpfs_montado)) && umount "$base/tmpfs"
    if [ -n "$cgrupos" ]; then
        # The sshds are gone, so are their cgroups' processes; a last child may take a moment.
        for _ in $(seq 50); do
            find "$cgrupos" -mindepth 1 -depth -type d -exec rmdir {} + 2>/dev/null
            rmdir "$cgrupos" 2>/dev/null && break
            sleep 0.1
        done
    fi
    [ -n "$ns" ] && ip netns del "$ns" 2>/dev/null
    ((usuario_creado)) && userdel "$usuario" 2>/dev/null
    ((run_sshd_creado)) && rmdir /run/sshd 2>/dev/null
    rm -rf "$base"
}
trap limpia EXIT
trap 'exit 130' INT TERM
if [ -n "$raiz_cgrupos" ] && mkdir "$raiz_cgrupos/acuses-bench-$$" 2>/dev/null; then
    cgrupos=$raiz_cgrupos/acuses-bench-$$
else
    echo "comparar: sin cgroup v2 donde crear uno: la CPU del host no se mide" >&2
fi

# shellcheck source=bench/anfitrion.sh
source "$bench/anfitrion.sh"
# shellcheck source=bench/corridas.sh
source "$bench/corridas.sh"
# shellcheck source=bench/casos.sh
source "$bench/casos.sh"
# shellcheck source=bench/disco.sh
source "$bench/disco.sh"

# --- the program, installed as a site would -------------------------------------------------
echo "comparar: compilando (Release) en $build"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --parallel 2 >/dev/null
cmake --install "$build" --prefix "$base/prefijo" >/dev/null
programa=$base/prefijo/bin/acuses

# --- the hosts ------------------------------------------------------------------------------
t_inicio=$SECONDS
echo "comparar: sembrando los conjuntos de archivos"
crea_usuario
crea_llaves
fila pocos && levanta_host pocos "$pocos" 4096
{ fila muchos || fila disco; } && levanta_host muchos "$muchos" 4096
fila grande && levanta_host grande 1 $((grande_mib * 1048576))
fila mediano && levanta_host mediano 1 $((mediano_mib * 1048576))
fila listados && levanta_host listados "$listados_mes" 4096 $((listados - listados_mes))
if fila historia; then
    # Half of them this month's, half the month before's.
    levanta_host sinhistoria $(((historia_mes + 1) / 2)) 4096 0 $((historia_mes / 2))
    levanta_host historia $(((historia_mes + 1) / 2)) 4096 "$historia" $((historia_mes / 2))
fi
fila ocupado && levanta_ocupado ocupado "$ocupados" 4096 "$demora_apertura"
# The seeding's writeback should not land in a timed run.
sync

# --- the rows -------------------------------------------------------------------------------
cerca="loopback"
lejos="ida y vuelta 40 ms"
# The history's two rows at one setting: the same Acuses of both months alone, then among
# the older months' files.
mide_historia() { # ajuste como
    local c
    for c in sinhistoria historia; do
        dos_meses_de[${alias_de[$c/$1]}]=1
    done
    mide_caso sinhistoria "$1" 1 "$2, $historia_mes de 4 KiB de los dos meses, sin historia" \
        historia="$1/sin"
    mide_caso historia "$1" 1 \
        "$2, $historia_mes de 4 KiB de los dos meses entre $historia de otros meses" \
        historia="$1/con"
}
fila pocos && mide_caso pocos cerca 2 "$cerca, $pocos de 4 KiB"
fila muchos && mide_caso muchos cerca 2 "$cerca, $muchos de 4 KiB" cpu
fila grande && mide_caso grande cerca 2 "$cerca, 1 de $grande_mib MiB" cpu
fila grande && mide_caso grande cerca 1 "$cerca, 1 de $grande_mib MiB, a un tmpfs" tmpfs cpu
fila listados && mide_caso listados cerca 1 "$cerca, $listados en la carpeta, $listados_mes del mes"
fila historia && mide_historia cerca "$cerca"
if fila ocupado; then
    # Any client that opens every file through one channel waits at least this long.
    piso=$(awk -v n="$ocupados" -v d="$demora_apertura" 'BEGIN { print n * d / 1000 }')
    mide_caso ocupado cerca 1 \
        "$cerca, Windows ocupado (cada apertura $demora_apertura ms), $ocupados de 4 KiB" \
        calienta "piso=$piso=$ocupados × $demora_apertura ms"
fi
if fila disco; then
    monta_tmpfs
    mide_disco muchos cerca "$cerca, $muchos de 4 KiB"
fi

conjuntos_lejos=()
for c in pocos muchos mediano sinhistoria historia; do
    [ -n "${alias_de[$c/cerca]:-}" ] && conjuntos_lejos+=("$c")
done
((grande_lejos)) && fila grande && conjuntos_lejos+=(grande)
if ((${#conjuntos_lejos[@]})); then
    prepara_lejos "${conjuntos_lejos[@]}"
fi
fila pocos && mide_caso pocos lejos 2 "$lejos, $pocos de 4 KiB"
fila muchos && mide_caso muchos lejos 2 "$lejos, $muchos de 4 KiB" vacio cpu
fila mediano && mide_caso mediano lejos 2 "$lejos, 1 de $mediano_mib MiB" cpu
fila historia && mide_historia lejos "$lejos"
if ((grande_lejos)) && fila grande; then
    mide_caso grande lejos 2 "$lejos, 1 de $grande_mib MiB" cpu
elif fila grande; then
    omite "$lejos, 1 de $grande_mib MiB" \
        "con el retardo cada ronda tarda minutos; ACUSES_GRANDE_LEJOS=1 para medirlo"
fi
fila disco && mide_disco muchos lejos "$lejos, $muchos de 4 KiB"

imprime_tabla $((SECONDS - t_inicio))
