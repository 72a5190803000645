#!/usr/bin/env bash
# Times the installed acuses against OpenSSH's `sftp -b` fetching the same month of Acuses
# from the same chrooted OpenSSH sshd on loopback, then again with 20 ms of added delay
# each way: netem inside a network namespace, or where the kernel lacks netem a relay in
# userspace. Run by hand, as root (it creates a user, a chroot, an sshd and a namespace,
# and removes them all on exit):
#
#     sudo bash bench/comparar.sh
#
# Knobs (environment): ACUSES_PARES pairs of runs (5), ACUSES_ARCHIVOS Acuses on loopback
# (2000), ACUSES_ARCHIVOS_LATENCIA Acuses under added delay (100: every file costs several
# round trips for both clients, so 2,000 would take minutes per run), ACUSES_BUILD build
# folder (build-bench).
#
# Run it on a quiet machine, and not within minutes of deleting thousands of files on the
# same file system (its own cleanup does): see nuevo_destino below.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
pares=${ACUSES_PARES:-5}
archivos=${ACUSES_ARCHIVOS:-2000}
archivos_latencia=${ACUSES_ARCHIVOS_LATENCIA:-100}
build=${ACUSES_BUILD:-$repo/build-bench}
usuario=acusesbench
retardo=20ms
mes=$(date +%Y%m)

if [ "$(id -u)" -ne 0 ]; then
    echo "comparar: hace falta root (sshd con ChrootDirectory, useradd, ip netns)" >&2
    exit 1
fi
if ((pares < 5)); then
    echo "comparar: al menos 5 pares" >&2
    exit 1
fi

# --- what is needed -----------------------------------------------------------------------
bash "$repo/scripts/setup"
faltan=()
[ -x /usr/sbin/sshd ] || faltan+=(openssh-server)
[ -x /usr/bin/sftp ] || faltan+=(openssh-client)
[ -x /usr/bin/time ] || faltan+=(time)
command -v ip >/dev/null && command -v tc >/dev/null && command -v ss >/dev/null ||
    faltan+=(iproute2)
if ((${#faltan[@]})); then
    echo "comparar: instalando ${faltan[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${faltan[@]}" >/dev/null
fi

# --- cleanup, armed before anything is made -----------------------------------------------
# ChrootDirectory and every folder above it must be root's and not writable by others:
# not /tmp.
base=$(mktemp -d /srv/acuses-bench.XXXXXX)
chmod 755 "$base"
pids=()
ns=""
usuario_creado=0
run_sshd_creado=0
limpia() {
    set +e
    for p in "${pids[@]}"; do
        kill "$p" 2>/dev/null
        wait "$p" 2>/dev/null
    done
    [ -n "$ns" ] && ip netns del "$ns" 2>/dev/null
    ((usuario_creado)) && userdel "$usuario" 2>/dev/null
    ((run_sshd_creado)) && rmdir /run/sshd 2>/dev/null
    rm -rf "$base"
}
trap limpia EXIT
trap 'exit 130' INT TERM

# --- the program, installed as a site would -------------------------------------------------
echo "comparar: compilando (Release) en $build"
cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" >/dev/null
cmake --install "$build" --prefix "$base/prefijo" >/dev/null
programa=$base/prefijo/bin/acuses

# --- the host: a user, a chroot laid out like D:\IDE\<login>\Acuses, an sshd -------------
if ! id "$usuario" >/dev/null 2>&1; then
    # '*' rather than useradd's locked '!': without PAM sshd refuses locked accounts even
    # for key logins.
    useradd --no-create-home --home-dir / --shell /usr/sbin/nologin --password '*' "$usuario"
    usuario_creado=1
fi
if [ ! -d /run/sshd ]; then
    mkdir -m 755 /run/sshd
    run_sshd_creado=1
fi

# One chroot per host, so the delayed host can serve fewer files under the same login.
siembra() { # raiz cuantos
    local acuses=$1/D:/IDE/$usuario/Acuses
    mkdir -p "$acuses"
    python3 - "$acuses" "$2" "$mes" <<'PY'
import os, sys
carpeta, cuantos, mes = sys.argv[1], int(sys.argv[2]), sys.argv[3]
for i in range(cuantos):
    with open(os.path.join(carpeta, f"ACUSE_{mes}15_{i:05d}.xml"), "wb") as f:
        f.write(os.urandom(4096))
PY
    chmod -R u=rwX,go=rX "$1"
}
siembra "$base/raiz" "$archivos"
siembra "$base/raiz-lejana" "$archivos_latencia"

mkdir -m 755 "$base/llaves"
ssh-keygen -q -t ed25519 -N '' -C '' -f "$base/llave_host"
home=$base/home
mkdir -p "$home/.ssh"
ssh-keygen -q -t ed25519 -N '' -C '' -f "$home/.ssh/id_ed25519"
cp "$home/.ssh/id_ed25519.pub" "$base/llaves/$usuario"
chmod 644 "$base/llaves/$usuario"

puerto_libre() {
    local p
    for p in $(shuf -i 20000-60000 -n 100); do
        if [ -z "$(ss -Hltn "sport = :$p")" ]; then
            echo "$p"
            return
        fi
    done
    echo "comparar: no hay puerto libre" >&2
    exit 1
}
puerto=$(puerto_libre)

configura_sshd() { # archivo raiz puerto
    cat >"$1" <<CONF
ListenAddress 127.0.0.1
Port $3
HostKey $base/llave_host
PidFile none
LogLevel INFO
AllowUsers $usuario
AuthorizedKeysFile $base/llaves/%u
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
AllowTcpForwarding no
X11Forwarding no
Subsystem sftp internal-sftp
ForceCommand internal-sftp
ChrootDirectory $2
CONF
    /usr/sbin/sshd -t -f "$1"
}

arranca_sshd() { # config log [prefijo de orden...]
    local conf=$1 log=$2
    shift 2
    "$@" /usr/sbin/sshd -D -f "$conf" -E "$log" &
    pids+=($!)
    for _ in $(seq 100); do
        grep -q 'Server listening' "$log" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "comparar: sshd no arrancó:" >&2
    cat "$log" >&2
    exit 1
}

# Both clients read the same files: OpenSSH's client takes ~/.ssh from passwd, not HOME,
# so the configuration is passed with -F and names its files by absolute path.
# Trusts the server on a loopback port and names it with a Host alias.
anade_host() {
    local alias=$1 puerto_host=$2
    echo "[127.0.0.1]:$puerto_host $(cut -d' ' -f1,2 "$base/llave_host.pub")" >>"$home/.ssh/known_hosts"
    cat >>"$home/.ssh/config" <<CONF
Host $alias
    HostName 127.0.0.1
    Port $puerto_host
    User $usuario
    IdentityFile $home/.ssh/id_ed25519
    IdentitiesOnly yes
    UserKnownHostsFile $home/.ssh/known_hosts
    StrictHostKeyChecking yes
    ConnectTimeout 10
CONF
}
: >"$home/.ssh/known_hosts"
: >"$home/.ssh/config"
anade_host banco "$puerto"
chmod 600 "$home/.ssh/config"
lote=$base/lote
echo "get /D:/IDE/$usuario/Acuses/*${mes}*.xml $base/destino/" >"$lote"

# --- timing ------------------------------------------------------------------------------
medidor=()        # /usr/bin/time when the peak memory is taken
alias_host=banco # the Host of ~/.ssh/config both clients go to
corre_acuses() { # destino [prefijo de orden...]
    local destino=$1
    shift
    env -u SSH_AUTH_SOCK HOME="$home" "$@" "${medidor[@]}" "$programa" "$alias_host" "$usuario" "$destino" \
        >"$base/salida" || {
        echo "comparar: acuses falló:" >&2
        cat "$base/salida" >&2
        return 1
    }
}
corre_sftp() { # destino [prefijo de orden...]
    local destino=$1
    shift
    sed "s|$base/destino/|$destino/|" "$lote" >"$base/lote.run"
    env -u SSH_AUTH_SOCK "$@" "${medidor[@]}" sftp -q -F "$home/.ssh/config" -b "$base/lote.run" \
        "$alias_host" >/dev/null
}

segundos() { # orden... ; prints the wall time of the order in seconds
    # sftp leaves its files to writeback, which would then compete with the next run's
    # flushes: each run starts with nothing dirty, and pays only for its own writes.
    sync
    local t0=$EPOCHREALTIME
    "$@" || return 1
    local t1=$EPOCHREALTIME
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f\n", b - a }'
}

mediana() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

memoria() { # orden... ; peak resident set of one run, in MiB
    medidor=(/usr/bin/time -v -o "$base/tiempo")
    "$@"
    medidor=()
    awk -F': ' '/Maximum resident set size/ { printf "%.1f MiB\n", $2 / 1024 }' "$base/tiempo"
}

# Deposits stay until the end: ext4 skips inodes freed in the last seconds (minutes while
# their table is dirty) when it allocates, so creating files right after deleting thousands
# costs ~0.6 ms each and would swamp what is measured.
nuevo_destino() {
    local d
    d=$(mktemp -d "$base/depositos.XXXXXX")
    echo "$d"
}

revisa() { # destino cuantos raiz
    local n
    n=$(find "$1" -maxdepth 1 -type f -name "*${mes}*.xml" | wc -l)
    if [ "$n" -ne "$2" ] || ! diff -rq "$3/D:/IDE/$usuario/Acuses" "$1" >/dev/null; then
        echo "comparar: $1 no tiene los $2 Acuses del host" >&2
        exit 1
    fi
}

mide() { # titulo cuantos raiz [prefijo de orden...]
    local titulo=$1 cuantos=$2 raiz=$3
    shift 3
    local d
    # One unreported run of each warms the host's page cache and the clients' libraries.
    d=$(nuevo_destino)
    corre_acuses "$d" "$@"
    revisa "$d" "$cuantos" "$raiz"
    d=$(nuevo_destino)
    corre_sftp "$d" "$@"
    revisa "$d" "$cuantos" "$raiz"

    : >"$base/t_acuses"
    : >"$base/t_sftp"
    : >"$base/razones"
    local i ta ts
    for ((i = 1; i <= pares; i++)); do
        # Alternated so drift in the machine touches both alike.
        d=$(nuevo_destino)
        ta=$(segundos corre_acuses "$d" "$@")
        revisa "$d" "$cuantos" "$raiz"
        d=$(nuevo_destino)
        ts=$(segundos corre_sftp "$d" "$@")
        revisa "$d" "$cuantos" "$raiz"
        echo "$ta" >>"$base/t_acuses"
        echo "$ts" >>"$base/t_sftp"
        awk -v a="$ta" -v s="$ts" 'BEGIN { printf "%.4f\n", a / s }' >>"$base/razones"
        printf '  par %d: acuses %.3f s, sftp -b %.3f s\n' "$i" "$ta" "$ts"
    done
    local ma ms mr pa psf
    ma=$(mediana <"$base/t_acuses")
    ms=$(mediana <"$base/t_sftp")
    mr=$(mediana <"$base/razones")
    d=$(nuevo_destino)
    pa=$(memoria corre_acuses "$d" "$@")
    d=$(nuevo_destino)
    psf=$(memoria corre_sftp "$d" "$@")
    echo "== $titulo: $cuantos Acuses de 4 KiB, $pares pares"
    printf '   acuses:   mediana %.3f s\n' "$ma"
    printf '   sftp -b:  mediana %.3f s\n' "$ms"
    printf '   razón acuses/sftp (mediana de los pares): %.2f\n' "$mr"
    echo "   memoria máxima (Maximum resident set size): acuses $pa, sftp -b $psf"
}

echo "comparar: $(nproc) CPU ($(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)),"\
    "Linux $(uname -r), depósitos en $(df -T "$base" | awk 'NR == 2 { print $2 }'), $(sshd -V 2>&1 | head -n 1)"

# The seeding's writeback should not land in a timed run.
sync
configura_sshd "$base/sshd_config" "$base/raiz" "$puerto"
arranca_sshd "$base/sshd_config" "$base/sshd.log"
mide "loopback" "$archivos" "$base/raiz"

# --- the same with added delay, in a namespace of its own ----------------------------------
ns=acuses-bench-$$
ip netns add "$ns"
ip netns exec "$ns" ip link set lo up
if ip netns exec "$ns" tc qdisc add dev lo root netem delay "$retardo" 2>"$base/tc.err"; then
    configura_sshd "$base/sshd_config_lejano" "$base/raiz-lejana" "$puerto"
    arranca_sshd "$base/sshd_config_lejano" "$base/sshd_lejano.log" ip netns exec "$ns"
    # Loopback delays both directions: a round trip takes twice the delay.
    mide "loopback con netem delay $retardo (ida y vuelta 2 x $retardo)" "$archivos_latencia" \
        "$base/raiz-lejana" ip netns exec "$ns"
else
    echo "== con netem delay $retardo: omitido, tc no pudo añadir netem" \
        "($(tr '\n' ' ' <"$base/tc.err")); ¿falta el módulo sch_netem del núcleo?"
    # Not netem: a relay that holds every chunk for the delay in each direction, in order.
    # It adds its own processing and does not model loss or bandwidth, but the round
    # trips it charges are what a far host charges.
    puerto_lejano=$(puerto_libre)
    configura_sshd "$base/sshd_config_lejano" "$base/raiz-lejana" "$puerto_lejano"
    arranca_sshd "$base/sshd_config_lejano" "$base/sshd_lejano.log"
    puerto_relevo=$(puerto_libre)
    python3 - "$puerto_relevo" "$puerto_lejano" "${retardo%ms}" <<'PY' &
import asyncio, sys

escucha, destino, retardo = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]) / 1000

async def bombea(lector, escritor):
    reloj = asyncio.get_running_loop()
    cola = asyncio.Queue()

    async def entrega():
        while True:
            llegada, datos = await cola.get()
            espera = llegada + retardo - reloj.time()
            if espera > 0:
                await asyncio.sleep(espera)
            if not datos:
                escritor.close()
                return
            escritor.write(datos)
            await escritor.drain()

    tarea = asyncio.create_task(entrega())
    while True:
        try:
            datos = await lector.read(65536)
        except ConnectionError:
            datos = b""
        cola.put_nowait((reloj.time(), datos))
        if not datos:
            break
    await tarea

async def atiende(lector, escritor):
    lector_host, escritor_host = await asyncio.open_connection("127.0.0.1", destino)
    await asyncio.gather(bombea(lector, escritor_host), bombea(lector_host, escritor),
                         return_exceptions=True)

async def principal():
    servidor = await asyncio.start_server(atiende, "127.0.0.1", escucha)
    async with servidor:
        await servidor.serve_forever()

asyncio.run(principal())
PY
    pids+=($!)
    for _ in $(seq 100); do
        [ -n "$(ss -Hltn "sport = :$puerto_relevo")" ] && break
        sleep 0.1
    done
    anade_host banco-lejano "$puerto_relevo"
    alias_host=banco-lejano
    mide "en su lugar, un relevo en espacio de usuario que retiene $retardo cada sentido" \
        "$archivos_latencia" "$base/raiz-lejana"
fi
