# shellcheck shell=bash
# The hosts comparar.sh fetches from, sourced by it: a user, one chroot per set of files laid
# out like D:\IDE\<login>\Acuses, an OpenSSH sshd on loopback for each (internal-sftp,
# key-only), and the same hosts again behind a delay. Every client reaches a host through
# a name, trusting its key strictly from one known_hosts:
#   alias_de[<set>/cerca], alias_de[<set>/lejos]  the name to connect to
#   log_de[<set>/cerca], log_de[<set>/lejos]      the sshd log that sees those connections
#   cgrupo_de[<set>/cerca], cgrupo_de[<set>/lejos] the cgroup (v2) the sshd and every
#                                                  process it starts run in: the host's CPU
#   prefijo_lejos                                  what the clients run under to be far
# One more host is not OpenSSH but tests/sftp_host.py answering as a busy Windows host
# (levanta_ocupado); its log_de is the log it writes, one "connect" per connection.
# Needs from comparar.sh: base, bench, repo, usuario, home, mes, anterior, pids, ns, retardo.

declare -A alias_de log_de cgrupo_de
prefijo_lejos=()
modo_lejos=""

crea_usuario() {
    if ! id "$usuario" >/dev/null 2>&1; then
        # '*' rather than useradd's locked '!': without PAM sshd refuses locked accounts
        # even for key logins.
        useradd --no-create-home --home-dir / --shell /usr/sbin/nologin --password '*' "$usuario"
        usuario_creado=1
    fi
    if [ ! -d /run/sshd ]; then
        mkdir -m 755 /run/sshd
        run_sshd_creado=1
    fi
}

# The host key, the client key and the three clients' configuration files, all empty of hosts.
crea_llaves() {
    mkdir -m 755 "$base/llaves"
    ssh-keygen -q -t ed25519 -N '' -C '' -f "$base/llave_host"
    mkdir -p "$home/.ssh"
    ssh-keygen -q -t ed25519 -N '' -C '' -f "$home/.ssh/id_ed25519"
    cp "$home/.ssh/id_ed25519.pub" "$base/llaves/$usuario"
    chmod 644 "$base/llaves/$usuario"
    : >"$home/.ssh/known_hosts"
    : >"$home/.ssh/config"
    chmod 600 "$home/.ssh/config"
    : >"$base/rclone.conf"
}

puerto_libre() {
    local p
    for p in $(shuf -i 20000-60000 -n 100); do
        if [ -z "$(ss -Hltn "sport = :$p")" ]; then
            echo "$p"
            return
        fi
    done
    echo "comparar: no hay puerto libre" >&2
    return 1
}

espera_puerto() { # puerto
    for _ in $(seq 100); do
        [ -n "$(ss -Hltn "sport = :$1")" ] && return 0
        sleep 0.1
    done
    echo "comparar: nadie escucha en el puerto $1" >&2
    return 1
}

configura_sshd() { # archivo raiz puerto
    # VERBOSE logs one "Connection from" per connection: how many a run opened.
    cat >"$1" <<CONF
ListenAddress 127.0.0.1
Port $3
HostKey $base/llave_host
PidFile none
LogLevel VERBOSE
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

# A cgroup of its own under $cgrupos (none where the machine has no cgroup v2: the host's
# CPU is then not measured).
nuevo_cgrupo() { # nombre
    [ -n "$cgrupos" ] || return 0
    mkdir "$cgrupos/$1"
    echo "$cgrupos/$1"
}

arranca_sshd() { # config log cgrupo [prefijo de orden...]
    local conf=$1 log=$2 cg=$3
    shift 3
    # The sshd enters its cgroup before it starts: each connection's processes, forked by
    # it, are born there.
    # shellcheck disable=SC2016
    "$@" bash -c '[ -z "$1" ] || echo $$ >"$1/cgroup.procs"; shift; exec "$@"' _ "$cg" \
        /usr/sbin/sshd -D -f "$conf" -E "$log" &
    pids+=($!)
    for _ in $(seq 100); do
        grep -q 'Server listening' "$log" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "comparar: sshd no arrancó:" >&2
    cat "$log" >&2
    return 1
}

# OpenSSH's client takes ~/.ssh from passwd, not HOME, so sftp gets the configuration with
# -F, and it names its files by absolute path; rclone reads none of it and gets its own
# remote of the same name, key and known_hosts.
anade_host() { # alias puerto
    local alias=$1 puerto=$2
    echo "[127.0.0.1]:$puerto $(cut -d' ' -f1,2 "$base/llave_host.pub")" >>"$home/.ssh/known_hosts"
    cat >>"$home/.ssh/config" <<CONF
Host $alias
    HostName 127.0.0.1
    Port $puerto
    User $usuario
    IdentityFile $home/.ssh/id_ed25519
    IdentitiesOnly yes
    UserKnownHostsFile $home/.ssh/known_hosts
    StrictHostKeyChecking yes
    ConnectTimeout 10
CONF
    cat >>"$base/rclone.conf" <<CONF
[$alias]
type = sftp
host = 127.0.0.1
port = $puerto
user = $usuario
key_file = $home/.ssh/id_ed25519
known_hosts_file = $home/.ssh/known_hosts

CONF
}

# A set's files under $base/raiz-<set>: cuantos files of `bytes` of this month and
# `anteriores` of the month before, among `otros` of older months, and what a correct
# deposit of it holds.
siembra() { # conjunto cuantos bytes [otros [anteriores]]
    local conjunto=$1 raiz=$base/raiz-$1
    local carpeta=$raiz/D:/IDE/$usuario/Acuses
    python3 "$bench/siembra.py" "$carpeta" "$mes" "$2" "$3" "${4:-0}" "${5:-0}"
    chmod -R u=rwX,go=rX "$raiz"
    # What a correct deposit holds, byte for byte.
    (cd "$carpeta" && find . -maxdepth 1 \( -name "*${mes}*.xml" -o -name "*${anterior}*.xml" \) \
        -printf '%f\0' | xargs -0 md5sum) | LC_ALL=C sort -k2 >"$base/sumas-$conjunto"
}

# A set of files on a host of its own.
levanta_host() { # conjunto cuantos bytes [otros [anteriores]]
    local conjunto=$1 raiz=$base/raiz-$1
    siembra "$@"
    local puerto
    puerto=$(puerto_libre)
    configura_sshd "$base/sshd_config-$conjunto" "$raiz" "$puerto"
    cgrupo_de[$conjunto/cerca]=$(nuevo_cgrupo "$conjunto")
    arranca_sshd "$base/sshd_config-$conjunto" "$base/sshd-$conjunto.log" \
        "${cgrupo_de[$conjunto/cerca]}"
    anade_host "$conjunto" "$puerto"
    alias_de[$conjunto/cerca]=$conjunto
    log_de[$conjunto/cerca]=$base/sshd-$conjunto.log
}

# A set on a Windows host whose every file open takes `demora` ms, one request at a time
# per channel (a virus scanner looking at each file opened), and at most 10 channels per
# connection (MaxSessions' default in OpenSSH's server, Windows' included). On loopback:
# the test host is Python, too slow for bulk data but not for small files.
levanta_ocupado() { # conjunto cuantos bytes demora
    local conjunto=$1 demora=$4 log=$base/host-$1.log
    siembra "$1" "$2" "$3"
    : >"$log"
    /usr/bin/python3 -W ignore "$repo/tests/sftp_host.py" --root "$base/raiz-$conjunto" \
        --host-key "$base/llave_host" --authorized-keys "$base/llaves/$usuario" \
        --windows --open-delay "$demora" --max-channels 10 --log "$log" \
        >"$base/puerto-$conjunto" 2>"$base/host-$conjunto.err" &
    pids+=($!)
    # It prints its port once it accepts connections.
    local puerto=""
    for _ in $(seq 100); do
        puerto=$(head -n 1 "$base/puerto-$conjunto")
        [ -n "$puerto" ] && break
        sleep 0.1
    done
    if [ -z "$puerto" ]; then
        echo "comparar: sftp_host.py no arrancó:" >&2
        cat "$base/host-$conjunto.err" >&2
        return 1
    fi
    anade_host "$conjunto" "$puerto"
    alias_de[$conjunto/cerca]=$conjunto
    log_de[$conjunto/cerca]=$log
}

# The sets given, far: netem on the loopback of a network namespace with an sshd of their
# own in it (same port, same name), or where the kernel lacks netem a relay in userspace
# that holds every chunk for the delay each way, in front of the sshd on loopback.
prepara_lejos() { # conjunto...
    ns=acuses-bench-$$
    ip netns add "$ns"
    ip netns exec "$ns" ip link set lo up
    if ip netns exec "$ns" tc qdisc add dev lo root netem delay "$retardo" 2>"$base/tc.err"; then
        modo_lejos="netem delay $retardo en el loopback de un espacio de red"
        prefijo_lejos=(ip netns exec "$ns")
        local c
        for c in "$@"; do
            cgrupo_de[$c/lejos]=$(nuevo_cgrupo "$c-lejos")
            arranca_sshd "$base/sshd_config-$c" "$base/sshd-$c-lejos.log" \
                "${cgrupo_de[$c/lejos]}" "${prefijo_lejos[@]}"
            alias_de[$c/lejos]=$c
            log_de[$c/lejos]=$base/sshd-$c-lejos.log
        done
        return
    fi
    modo_lejos="relevo en espacio de usuario que retiene $retardo cada sentido (tc no pudo"
    modo_lejos+=" añadir netem: $(tr '\n' ' ' <"$base/tc.err"); ¿falta el módulo sch_netem?)"
    local c pares_relevo=() relevo destino
    for c in "$@"; do
        relevo=$(puerto_libre)
        destino=$(awk '$1 == "Port" { print $2 }' "$base/sshd_config-$c")
        pares_relevo+=("$relevo:$destino")
        anade_host "$c-lejos" "$relevo"
        alias_de[$c/lejos]=$c-lejos
        log_de[$c/lejos]=${log_de[$c/cerca]}
        cgrupo_de[$c/lejos]=${cgrupo_de[$c/cerca]}
    done
    python3 "$bench/relevo.py" "${retardo%ms}" "${pares_relevo[@]}" &
    pids+=($!)
    for relevo in "${pares_relevo[@]}"; do
        espera_puerto "${relevo%%:*}"
    done
}
