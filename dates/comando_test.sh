#!/usr/bin/env bash
# The fechas command as a process: what it prints on each stream and its exit status.
#
#   dates/comando_test.sh path/to/fechas
set -u
programa=("$1")
fallas=0

# caso STATUS STDOUT STDERR ARG...
caso() {
    local estado=$1 salida=$2 error=$3
    shift 3
    local obtenida errores obtenido
    errores=$(mktemp)
    obtenida=$("${programa[@]}" "$@" 2>"$errores") && obtenido=0 || obtenido=$?
    if [ "$obtenido" != "$estado" ] || [ "$obtenida" != "$salida" ] ||
        [ "$(cat "$errores")" != "$error" ]; then
        printf 'fechas %s: status %s, stdout [%s], stderr [%s]\n' "$*" "$obtenido" "$obtenida" \
            "$(cat "$errores")" >&2
        fallas=$((fallas + 1))
    fi
    rm -f "$errores"
}

uso='uso: fechas dias FECHA | fecha DIAS | semana FECHA | diferencia FECHA1 FECHA2 | hoy'

caso 0 41439 '' dias 15/06/2013
caso 0 1 '' dias 01011900
caso 0 73414 '' dias 31.12.2100
caso 1 '' 'fechas: fecha no válida: 31/04/2013' dias 31/04/2013
caso 1 '' 'fechas: fecha no válida: 2013-06-15' dias 2013-06-15
caso 1 '' 'fechas: fecha no válida: ' dias ''
caso 0 15062013 '' fecha 41439
caso 0 01012100 '' fecha 73050
caso 1 '' 'fechas: número de día fuera de 1 a 73050: 0' fecha 0
caso 1 '' 'fechas: número de día fuera de 1 a 73050: 73051' fecha 73051
caso 1 '' 'fechas: número de día no válido: 12x' fecha 12x
caso 1 '' 'fechas: número de día no válido: 99999999999999999999' fecha 99999999999999999999
caso 1 '' 'fechas: número de día no válido: ' fecha ''
caso 0 6 '' semana 15.06.13
caso 0 1 '' semana 01011900
caso 1 '' 'fechas: fecha no válida: 29/02/2100' semana 29/02/2100
caso 0 59 '' diferencia 01012013 01032013
caso 0 -59 '' diferencia 01032013 01012013
caso 1 '' 'fechas: fecha no válida: xx' diferencia xx 01012013
caso 1 '' 'fechas: fecha no válida: 31/02/2013' diferencia 01012013 31/02/2013
# An empty second date would ask difdias to shift the first; it is refused instead.
caso 1 '' 'fechas: fecha no válida: ' diferencia 01012013 ''
caso 2 '' "$uso"
caso 2 '' "$uso" dias
caso 2 '' "$uso" dias 1 2
caso 2 '' "$uso" hoy extra
caso 2 '' "$uso" ayer

# Today follows the local time zone: 05:30 UTC on 5 March 2014 is still the 4th in Mexico City.
if command -v faketime >/dev/null; then
    programa=(faketime @1393997400 "$1")
    TZ=UTC caso 0 05032014 '' hoy
    TZ=America/Mexico_City caso 0 04032014 '' hoy
fi

[ "$fallas" -eq 0 ] && echo "comando: ok"
exit "$fallas"
