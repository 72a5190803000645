"""Prints comparar.sh's table (Markdown) from what its runs wrote down.

    python3 tabla.py CASOS MEDIDAS OMITIDOS TOPE

CASOS: case, runs (1 or 2), title, and optionally the one-channel floor in seconds and how
it is reckoned, which of the history's rows it is ("cerca/con", "lejos/sin"...), and "1"
where the host's CPU is shown. MEDIDAS: case, round, client ("vacio": acuses's empty month),
run, seconds or "tope", peak KiB or "-", connections, files rewritten or "-", the host's CPU
seconds or "-". OMITIDOS: title, reason.
"""

import csv
import math
import statistics
import sys
from collections import defaultdict

CLIENTES = ("acuses", "sftp", "rclone")
CORRIDAS = {"1": "primera", "2": "segunda, nada nuevo"}
# What the work on several channels is to reach on the busy host: this fraction of the
# time one channel cannot go below.
META_PISO = 0.4


def lee(ruta):
    with open(ruta, newline="") as f:
        return list(csv.reader(f, delimiter="\t"))


def segundos(texto):
    # A run the cap cut took longer than anything measured: it sorts last in a median.
    return math.inf if texto == "tope" else float(texto)


def tiempo(valor, tope):
    if valor is None:
        return "—"
    if math.isinf(valor):
        return f"> {tope:g} s"
    return f"{valor:.3f} s" if valor < 10 else f"{valor:.1f} s"


def razon(propios, ajenos, tope):
    """Median over the rounds of acuses' time over the peer's. When the cap cut a run, from
    the medians instead: a bound when one side's median is past the cap."""
    if not propios or not ajenos:
        return "—"
    todos = list(propios.values()) + list(ajenos.values())
    if not any(math.isinf(v) for v in todos):
        rondas = sorted(set(propios) & set(ajenos))
        return cifra(statistics.median(propios[r] / ajenos[r] for r in rondas))
    mp = statistics.median(propios.values())
    ma = statistics.median(ajenos.values())
    if math.isinf(mp) and math.isinf(ma):
        return "—"
    if math.isinf(mp):
        return "> " + cifra(tope / ma)
    if math.isinf(ma):
        return "< " + cifra(mp / tope)
    return cifra(mp / ma)


def cifra(r):
    return f"{r:.2f}" if r >= 0.1 else f"{r:.3f}"


def rango(valores):
    if not valores:
        return "—"
    a, b = min(valores), max(valores)
    return str(a) if a == b else f"{a}–{b}"


def fila(titulo, corrida, medidas, tope):
    tiempos = {c: {} for c in CLIENTES}
    kib, conexiones, reescritos = (defaultdict(list) for _ in range(3))
    for ronda, cliente, seg, *cuentas in medidas:
        tiempos[cliente][ronda] = segundos(seg)
        for listas, valor in zip((kib, conexiones, reescritos), cuentas):
            if valor != "-":
                listas[cliente].append(int(valor))
    medianas = {
        c: statistics.median(t.values()) if t else None for c, t in tiempos.items()
    }
    memoria = " / ".join(f"{max(kib[c]) / 1024:.1f}" if kib[c] else "—" for c in CLIENTES)
    celdas = [titulo, CORRIDAS[corrida]]
    celdas += [tiempo(medianas[c], tope) for c in CLIENTES]
    celdas += [razon(tiempos["acuses"], tiempos[c], tope) for c in ("sftp", "rclone")]
    celdas.append(memoria)
    celdas.append(" / ".join(rango(conexiones[c]) for c in CLIENTES))
    celdas.append(
        " / ".join(rango(reescritos[c]) for c in CLIENTES) if corrida == "2" else "—"
    )
    return "| " + " | ".join(celdas) + " |"


def fila_cpu(titulo, medidas):
    """The host's CPU seconds for each client's first runs (medians), and acuses's over each
    peer's (the median of the rounds' ratios)."""
    cpu = {c: {} for c in CLIENTES}
    for ronda, cliente, seg, *_, valor in medidas:
        if valor != "-" and seg != "tope":
            cpu[cliente][ronda] = float(valor)
    if not any(cpu.values()):
        return None
    celdas = [titulo]
    celdas += [f"{statistics.median(cpu[c].values()):.3f} s" if cpu[c] else "—" for c in CLIENTES]
    for otro in ("sftp", "rclone"):
        rondas = sorted(r for r in set(cpu["acuses"]) & set(cpu[otro]) if cpu[otro][r] > 0)
        celdas.append(
            cifra(statistics.median(cpu["acuses"][r] / cpu[otro][r] for r in rondas))
            if rondas
            else "—"
        )
    return "| " + " | ".join(celdas) + " |"


def mediana(medidas, cliente):
    tiempos = [segundos(seg) for _, c, seg, *_ in medidas if c == cliente]
    return statistics.median(tiempos) if tiempos else None


def nota_fijo(titulo, medidas, vacias, tope):
    """acuses's time split into what its empty month costs and what the files add."""
    total, fijo = mediana(medidas, "acuses"), mediana(vacias, "vacio")
    if total is None or fijo is None:
        return None
    detalle = (
        "el mes vacío: conexión, autenticación y los dos listados de la misma carpeta,"
        " nada traído"
    )
    conexiones = rango([int(m[4]) for m in vacias if m[4] != "-"])
    memoria = max((int(m[3]) for m in vacias if m[3] != "-"), default=None)
    if memoria is not None:
        detalle += f"; memoria máx. {memoria / 1024:.1f} MiB, conexiones {conexiones}"
    linea = f"Costo fijo, {titulo}: acuses {tiempo(total, tope)}, de ellos"
    linea += f" {tiempo(fijo, tope)} fijos ({detalle})"
    if math.isinf(total) or math.isinf(fijo):
        return linea + "."
    return linea + f"; los archivos añaden {tiempo(total - fijo, tope)}."


def nota_piso(titulo, medidas, piso, como, tope):
    """The busy host's floor for one channel, the goal, and where acuses stands."""
    linea = (
        f"Piso de un canal, {titulo}: {como} = {tiempo(piso, tope)} (lo que tarda cualquier"
        f" cliente que abra todos los archivos por un canal); meta: acuses ≤ {META_PISO:g} ×"
        f" piso = {tiempo(META_PISO * piso, tope)}"
    )
    acuses = mediana(medidas, "acuses")
    if acuses is not None:
        veces = f"> {tope / piso:.2f}" if math.isinf(acuses) else f"{acuses / piso:.2f}"
        linea += f"; acuses: {tiempo(acuses, tope)} = {veces} × piso"
    return linea + "."


def nota_historia(historia, tope):
    """What the folder's history adds to acuses's run near and far, and the ratio of the
    two: the round trips hidden behind the host's work would make it 1."""
    anade = {}
    for ajuste in ("cerca", "lejos"):
        con, sin = historia.get(f"{ajuste}/con"), historia.get(f"{ajuste}/sin")
        if con is None or sin is None or math.isinf(con) or math.isinf(sin):
            continue
        anade[ajuste] = (con - sin, con, sin)
    if not anade:
        return None
    partes = [
        f"{'en loopback' if a == 'cerca' else 'con el retardo'} {tiempo(d, tope)}"
        f" ({tiempo(c, tope)} con ella, {tiempo(s, tope)} sin ella)"
        for a, (d, c, s) in anade.items()
    ]
    linea = "Lo que la historia de la carpeta añade a acuses: " + "; ".join(partes)
    if len(anade) == 2 and anade["cerca"][0] > 0:
        linea += f"; con el retardo / en loopback = {anade['lejos'][0] / anade['cerca'][0]:.2f}"
    return linea + "."


def main():
    casos, medidas, omitidos = (lee(r) for r in sys.argv[1:4])
    tope = float(sys.argv[4])
    por_fila = defaultdict(list)
    vacias = defaultdict(list)
    for caso, ronda, cliente, corrida, seg, k, con, rees, cpu in medidas:
        medida = (ronda, cliente, seg, k, con, rees, cpu)
        (vacias[caso] if cliente == "vacio" else por_fila[(caso, corrida)]).append(medida)

    print(
        "| caso | corrida | acuses | sftp -b | rclone | acuses / sftp -b | acuses / rclone"
        " | memoria máx. MiB (acuses / sftp -b / rclone) | conexiones (a / s / r)"
        " | reescritos (a / s / r) |"
    )
    print("|" + "---|" * 10)
    notas = []
    historia = {}
    filas_cpu = []
    for caso, corridas, titulo, piso, como, *resto in casos:
        for corrida in ("1", "2")[: int(corridas)]:
            print(fila(titulo, corrida, por_fila[(caso, corrida)], tope))
        if vacias[caso]:
            notas.append(nota_fijo(titulo, por_fila[(caso, "1")], vacias[caso], tope))
        if piso:
            notas.append(nota_piso(titulo, por_fila[(caso, "1")], float(piso), como, tope))
        if resto and resto[0]:
            historia[resto[0]] = mediana(por_fila[(caso, "1")], "acuses")
        if len(resto) > 1 and resto[1]:
            filas_cpu.append(fila_cpu(titulo, por_fila[(caso, "1")]))
    notas.append(nota_historia(historia, tope))
    print()
    for nota in filter(None, notas):
        print(nota)
        print()
    if any(filas_cpu):
        print(
            "| caso: CPU del host, primera corrida | acuses | sftp -b | rclone"
            " | acuses / sftp -b | acuses / rclone |"
        )
        print("|" + "---|" * 6)
        for f in filter(None, filas_cpu):
            print(f)
        print()
        print(
            "CPU del host: la que usaron el sshd y todos los procesos que inició en la corrida"
            " (su cgroup propio, usage_usec), mediana de las rondas; razones: mediana, ronda a"
            " ronda, de la de acuses sobre la del otro."
        )
        print()
    print(
        "Tiempos: mediana de las rondas. Razones: mediana, ronda a ronda, del tiempo de"
        " acuses sobre el del otro. Memoria: la mayor de las rondas (para sftp -b, la de"
        " sftp o su ssh). Conexiones: las que registró el anfitrión en cada corrida (el"
        " sshd, o sftp_host.py en el Windows ocupado). Reescritos: archivos con otro inodo"
        " u otra mtime tras la segunda corrida. —: no corrió (su primera corrida fue"
        " cortada) o no aplica."
    )
    for titulo, motivo in omitidos:
        print(f"Omitido: {titulo}: {motivo}.")


main()
