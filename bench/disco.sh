# shellcheck shell=bash
# The disk's row of comparar.sh, sourced by it: what putting every Acuse on disk costs
# acuses, and what it costs everyone else on the same file system.
#   - acuses fetches the same set into a folder on the disk ($base) and into one on a tmpfs
#     mounted for it, side by side, the order alternating from round to round: tmpfs has
#     nothing to flush, so the ratio is what the disk adds;
#   - the same again while another process holds data of its own written and not yet
#     flushed on the disk's file system (a file of ACUSES_AJENO_MIB written just before
#     the run): what acuses leaves of it unflushed is that file's dirty and writeback pages
#     after the run over those before, read with cachestat(2) (Linux 6.5) from the file
#     itself, so neither acuses's own writes nor anything else on the machine counts. The
#     same measure beside the run into tmpfs, which flushes nothing of the disk, is the
#     control: what the kernel's own writeback took meanwhile.
# Needs from comparar.sh: base, bench, rondas_disco, and corridas.sh (una_corrida, revisa,
# nuevo_destino) and anfitrion.sh (alias_de, prefijo_lejos).

ajeno_mib=${ACUSES_AJENO_MIB:-300}
: >"$base/disco.tsv"
: >"$base/disco-casos.tsv"

# The file system a folder is on, its mount options and, for ext4, whether it keeps a
# journal (what a flush costs depends on it: see HACKING.md).
disco_de() { # carpeta
    local fuente tipo opciones diario=""
    read -r fuente tipo opciones < <(findmnt -no SOURCE,FSTYPE,OPTIONS -T "$1")
    if [ "$tipo" = ext4 ] && [ -r "/sys/fs/ext4/${fuente##*/}/journal_task" ]; then
        if [ "$(cat "/sys/fs/ext4/${fuente##*/}/journal_task")" = "<none>" ]; then
            diario=", sin diario"
        else
            diario=", con diario"
        fi
    fi
    echo "$tipo$diario ($opciones) en $fuente"
}

# Room for the large file too (the tmpfs row of the peers' table).
monta_tmpfs() {
    ((tmpfs_montado)) && return 0
    mkdir -p "$base/tmpfs"
    mount -t tmpfs -o "size=$((grande_mib < 960 ? 1024 : grande_mib + 64))m,mode=755" \
        acuses-bench "$base/tmpfs"
    tmpfs_montado=1
}

# Another process's data, written and left to the kernel's writeback: a new file each
# time, after the run's sync.
escribe_ajeno() {
    rm -f "$base/ajeno"
    head -c "${ajeno_mib}M" /dev/zero >"$base/ajeno"
    # Before Linux 6.5 there is no cachestat: the run is timed all the same, its share "-".
    python3 "$bench/sucias.py" "$base/ajeno" >"$base/ajeno.antes" || echo - >"$base/ajeno.antes"
}

# One line: conjunto, ajuste, carga (quieto|ajeno), ronda, donde (disco|tmpfs), seconds,
# then the other file's unflushed KiB before and after the run (or - -).
corre_disco() { # conjunto ajuste carga ronda donde
    local conjunto=$1 ajuste=$2 carga=$3 ronda=$4 donde=$5 d r seg kib antes=- despues=-
    if [ "$donde" = disco ]; then
        d=$(nuevo_destino)
    else
        d=$(mktemp -d "$base/tmpfs/depositos.XXXXXX")
    fi
    previa=()
    [ "$carga" = ajeno ] && previa=(escribe_ajeno)
    r=$(una_corrida acuses "${alias_de[$conjunto/$ajuste]}" "$d")
    read -r seg kib _ <<<"$r"
    if [ "$carga" = ajeno ]; then
        antes=$(cat "$base/ajeno.antes")
        despues=$(python3 "$bench/sucias.py" "$base/ajeno" || echo -)
        rm -f "$base/ajeno"
    fi
    [ "$seg" != tope ] && revisa "$d" "$conjunto"
    # tmpfs is memory: its deposits go at once (the disk's stay, see nuevo_destino).
    [ "$donde" = tmpfs ] && rm -rf "$d"
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$conjunto" "$ajuste" "$carga" "$ronda" \
        "$donde" "$seg" "$antes" "$despues" >>"$base/disco.tsv"
    printf '  ronda %d, %-5s %-6s %s' "$ronda" "$donde" "$carga" "$(como_tiempo "$seg")"
    [ "$carga" = ajeno ] && printf ' (ajenos sin asegurar: %s de %s KiB)' "$despues" "$antes"
    echo
}

mide_disco() { # conjunto ajuste titulo
    local conjunto=$1 ajuste=$2 ronda carga t0=$SECONDS
    echo "comparar: $3, disco y tmpfs"
    printf '%s\t%s\t%s\n' "$conjunto" "$ajuste" "$3" >>"$base/disco-casos.tsv"
    prefijo=()
    [ "$ajuste" = lejos ] && prefijo=("${prefijo_lejos[@]}")
    # One unreported run of each warms the host and the disk's folder.
    corre_disco "$conjunto" "$ajuste" quieto 0 disco >/dev/null
    corre_disco "$conjunto" "$ajuste" quieto 0 tmpfs >/dev/null
    for ((ronda = 1; ronda <= rondas_disco; ronda++)); do
        for carga in quieto ajeno; do
            if ((ronda % 2)); then
                corre_disco "$conjunto" "$ajuste" "$carga" "$ronda" disco
                corre_disco "$conjunto" "$ajuste" "$carga" "$ronda" tmpfs
            else
                corre_disco "$conjunto" "$ajuste" "$carga" "$ronda" tmpfs
                corre_disco "$conjunto" "$ajuste" "$carga" "$ronda" disco
            fi
        done
    done
    echo "  ($((SECONDS - t0)) s)"
}
