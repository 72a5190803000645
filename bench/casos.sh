# shellcheck shell=bash
# The rows of comparar.sh's table, sourced by it: each case runs every client in rounds and
# writes what it measured to $base/medidas.tsv; tabla.py turns that into the table.
# Needs from it: base, bench, rondas, rondas_lejos, tope, alias_de, log_de, prefijo_lejos,
# modo_lejos, and corridas.sh.

casos=0
prefijo=()
: >"$base/casos.tsv"
: >"$base/medidas.tsv"
: >"$base/omitidos.tsv"

# One line per run: case, round, client ("vacio": acuses's empty month), run (1 first, 2
# second), seconds or "tope", peak KiB, connections, files rewritten (second runs), the
# host's CPU seconds ("-" where not measured).
anota() { # caso ronda cliente corrida segundos kib conexiones reescritos cpu
    local IFS=$'\t'
    echo "$*" >>"$base/medidas.tsv"
}

como_tiempo() { # segundos|tope
    if [ "$1" = tope ]; then
        echo "cortada a los $tope s"
    else
        echo "$1 s"
    fi
}

# A client's first run into an empty folder and, when asked, its second into the same one.
# A run the cap cut marks its client in `cortado` and ends its turn.
mide_cliente() { # caso ronda cliente conjunto ajuste corridas
    local caso=$1 ronda=$2 cliente=$3 conjunto=$4 ajuste=$5 corridas=$6
    local alias=${alias_de[$conjunto/$ajuste]} log=${log_de[$conjunto/$ajuste]}
    local nombres=("" " primera" ", segunda") d corrida antes r seg kib cpu c0 n
    d=$($destino_de_caso)
    cgrupo_host=${cgrupo_de[$conjunto/$ajuste]:-}
    printf '  ronda %d, %-6s' "$ronda" "$cliente"
    # The empty month has nothing to find again.
    [ "$cliente" = vacio ] && corridas=1
    for ((corrida = 1; corrida <= corridas; corrida++)); do
        antes=$(foto "$d")
        c0=$(conexiones "$log")
        r=$(una_corrida "$cliente" "$alias" "$d")
        read -r seg kib cpu <<<"$r"
        n=-
        if [ "$seg" != tope ] && [ "$cliente" = vacio ]; then
            revisa_vacio "$d"
        elif [ "$seg" != tope ]; then
            revisa "$d" "$conjunto"
            # Only a run into a folder that already holds the set can rewrite.
            ((corrida == 1)) || n=$(reescritos <(echo "$antes") <(foto "$d"))
        fi
        anota "$caso" "$ronda" "$cliente" "$corrida" "$seg" "$kib" $(($(conexiones "$log") - c0)) \
            "$n" "${cpu:--}"
        printf '%s: %s' "${nombres[corrida]}" "$(como_tiempo "$seg")"
        [ -n "$cpu" ] && [ "$cpu" != - ] && printf ' (host %s s de CPU)' "$cpu"
        if [ "$seg" = tope ]; then
            cortado[$cliente]=1
            break
        fi
    done
    echo
    cgrupo_host=""
    # A large deposit goes at once: a few files freed cost the next creates nothing, and
    # the disk is shared.
    case $conjunto in
    grande | mediano) rm -rf "$d" ;;
    esac
}

# One unreported run of each warms the clients' libraries (the seeding left the hosts'
# files in the page cache) or a host just started; a client the cap cuts here is left out
# of the row.
calienta() { # caso conjunto ajuste
    local cliente alias=${alias_de[$2/$3]} d r
    for cliente in "${clientes[@]}"; do
        d=$($destino_de_caso)
        r=$(una_corrida "$cliente" "$alias" "$d")
        if [ "$r" = "tope -" ]; then
            cortado[$cliente]=1
            anota "$1" 0 "$cliente" 1 tope - - - -
            echo "  calentando, $cliente: cortada a los $tope s"
        else
            revisa "$d" "$2"
        fi
    done
}

# A row (two with corridas=2): rounds in which the clients take turns going first, so
# drift in the machine touches all alike. A client whose run was cut sits out the rest.
# The first row starts by warming every client. Options, after the title:
#   vacio           acuses's empty month takes its turn too (a note under the table)
#   calienta        warm every client first (a host of its own, just started)
#   piso=S=TEXTO    the one-channel floor of S seconds, TEXTO how it is reckoned (a note)
#   historia=A/con|sin  one of the history's rows (A: cerca or lejos): a note gives what
#                   the history adds near and far, and the one over the other
#   cpu             the host's CPU is shown for this row (the table of the host's CPU)
#   tmpfs           every client deposits into a folder on the tmpfs, not on the disk
declare -A cortado
destino_de_caso=nuevo_destino
en_tmpfs() { mktemp -d "$base/tmpfs/depositos.XXXXXX"; }
mide_caso() { # conjunto ajuste corridas titulo [opcion...]
    local conjunto=$1 ajuste=$2 corridas=$3 titulo=$4
    shift 4
    local turnos=("${clientes[@]}") calentar=0 piso="" historia="" cpu="" opcion
    destino_de_caso=nuevo_destino
    for opcion in "$@"; do
        case $opcion in
        vacio) turnos+=(vacio) ;;
        calienta) calentar=1 ;;
        piso=*) piso=${opcion#piso=} ;;
        historia=*) historia=${opcion#historia=} ;;
        cpu) cpu=1 ;;
        tmpfs)
            monta_tmpfs
            destino_de_caso=en_tmpfs
            ;;
        esac
    done
    casos=$((casos + 1))
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$casos" "$corridas" "$titulo" "${piso%%=*}" \
        "${piso#*=}" "$historia" "$cpu" >>"$base/casos.tsv"
    echo "comparar: $titulo"
    cortado=()
    local n=$rondas t0=$SECONDS
    prefijo=()
    if [ "$ajuste" = lejos ]; then
        n=$rondas_lejos
        prefijo=("${prefijo_lejos[@]}")
    fi
    if ((casos == 1 || calentar)); then
        calienta "$casos" "$conjunto" "$ajuste"
    fi
    local ronda k cliente
    for ((ronda = 1; ronda <= n; ronda++)); do
        for ((k = 0; k < ${#turnos[@]}; k++)); do
            cliente=${turnos[(ronda + k) % ${#turnos[@]}]}
            if [ -z "${cortado[$cliente]:-}" ]; then
                mide_cliente "$casos" "$ronda" "$cliente" "$conjunto" "$ajuste" "$corridas"
            fi
        done
    done
    echo "  ($((SECONDS - t0)) s)"
}

omite() { # titulo razon
    printf '%s\t%s\n' "$1" "$2" >>"$base/omitidos.tsv"
    echo "comparar: $1: omitido, $2"
}

imprime_tabla() { # segundos que tomó
    echo
    echo "comparar: $(nproc) CPU ($(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)),"\
        "Linux $(uname -r), depósitos en $(df -T "$base" | awk 'NR == 2 { print $2 }'),"\
        "$(sshd -V 2>&1 | head -n 1), $(rclone version 2>/dev/null | head -n 1)"
    echo "comparar: depósitos en disco: $(disco_de "$base")"
    echo "comparar: con retardo: $modo_lejos"
    echo "comparar: rondas: $rondas en loopback, $rondas_lejos con retardo, $rondas_disco en la"\
        "tabla del disco; tope por corrida $tope s; medido en $(($1 / 60)) min $(($1 % 60)) s"
    if [ -s "$base/casos.tsv" ]; then
        echo
        python3 "$bench/tabla.py" "$base/casos.tsv" "$base/medidas.tsv" "$base/omitidos.tsv" "$tope"
    fi
    if fila disco; then
        echo
        python3 "$bench/tabla_disco.py" "$base/disco-casos.tsv" "$base/disco.tsv" "$tope" "$ajeno_mib"
    fi
}
