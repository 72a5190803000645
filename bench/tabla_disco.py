"""Prints the disk's table of comparar.sh (Markdown) from what disco.sh wrote down.

    python3 tabla_disco.py CASOS MEDIDAS TOPE AJENO_MIB

CASOS: set, setting, title. MEDIDAS: set, setting, load (quieto|ajeno), round, where
(disco|tmpfs), seconds or "tope", the other file's unflushed KiB before and after the
run (or "-"). Round 0 warms up and is not reported.
"""

import csv
import statistics
import sys
from collections import defaultdict

CARGAS = {
    "quieto": "nada más",
    "ajeno": "otro proceso con {mib} MiB sin asegurar en el mismo disco",
}


def lee(ruta):
    with open(ruta, newline="") as f:
        return list(csv.reader(f, delimiter="\t"))


def tiempo(valor, tope):
    return f"> {tope:g} s" if valor is None else f"{valor:.3f} s"


def segundos(texto):
    return None if texto == "tope" else float(texto)


def porcentajes(lado):
    """Round by round: what was left unflushed of what was there before the run."""
    cifras = []
    for _, antes, despues in (lado[r] for r in sorted(lado, key=int)):
        if "-" in (antes, despues) or int(antes) == 0:
            cifras.append("—")
        else:
            cifras.append(f"{100 * int(despues) / int(antes):.0f}")
    return " ".join(cifras) + " %"


def main():
    casos, medidas = lee(sys.argv[1]), lee(sys.argv[2])
    tope, ajeno_mib = float(sys.argv[3]), int(sys.argv[4])
    por = defaultdict(dict)  # (set, setting, load, where) -> round -> row
    for conjunto, ajuste, carga, ronda, donde, seg, antes, despues in medidas:
        if ronda != "0":
            por[(conjunto, ajuste, carga, donde)][ronda] = (segundos(seg), antes, despues)
    print(
        "| caso | junto a acuses | disco | tmpfs | disco / tmpfs"
        " | datos ajenos que quedaron sin asegurar, ronda a ronda (disco / tmpfs) |"
    )
    print("|" + "---|" * 6)
    for conjunto, ajuste, titulo in casos:
        for carga in CARGAS:
            disco = por[(conjunto, ajuste, carga, "disco")]
            tmpfs = por[(conjunto, ajuste, carga, "tmpfs")]
            if not disco or not tmpfs:
                continue
            celdas = [titulo, CARGAS[carga]]
            for lado in (disco, tmpfs):
                valores = [v[0] for v in lado.values()]
                medio = None if None in valores else statistics.median(valores)
                celdas.append(tiempo(medio, tope))
            rondas = [
                r
                for r in sorted(set(disco) & set(tmpfs))
                if disco[r][0] is not None and tmpfs[r][0] is not None
            ]
            razones = [disco[r][0] / tmpfs[r][0] for r in rondas]
            celdas.append(f"{statistics.median(razones):.2f}" if razones else "—")
            if carga == "ajeno":
                celdas.append(" / ".join(porcentajes(lado) for lado in (disco, tmpfs)))
            else:
                celdas.append("—")
            print("| " + " | ".join(celdas).replace("{mib}", str(ajeno_mib)) + " |")
    print()
    print(
        "Tiempos: mediana de las rondas. disco / tmpfs: mediana, ronda a ronda, de la razón"
        " entre la corrida a una carpeta en el disco y la misma a una en tmpfs. Datos ajenos:"
        " las páginas sucias o en escritura del archivo del otro proceso tras la corrida"
        " sobre las de antes (cachestat), ronda a ronda; junto a tmpfs, que no asegura nada"
        " del disco, lo que se llevaron mientras tanto la escritura del propio kernel u"
        " otros procesos de la máquina (un sync, un syncfs): una ronda en que también allí"
        " quedó poco no dice nada de acuses."
    )


main()
