"""Fills a host's Acuses folder: files of the month being fetched and, optionally, of the
month before, buried among files of older months that every client lists but none fetches.

    python3 siembra.py CARPETA MES CUANTOS BYTES [OTROS [ANTERIORES]]

MES is YYYYMM; ANTERIORES files of BYTES carry the month before. The program fetches both
months, so no older file may carry either in its name.
"""

import fnmatch
import os
import sys

BLOQUE = 1 << 20


def escribe(ruta, bytes_):
    with open(ruta, "wb") as f:
        while bytes_ > 0:
            n = min(bytes_, BLOQUE)
            f.write(os.urandom(n))
            bytes_ -= n


def meses_antes(mes, desde, cuantos):
    """YYYYMM of the months `desde` to `desde + cuantos - 1` before `mes`, newest first."""
    indice = int(mes[:4]) * 12 + int(mes[4:]) - 1
    for atras in range(desde, desde + cuantos):
        anio, m = divmod(indice - atras, 12)
        yield f"{anio:04d}{m + 1:02d}"


def main():
    carpeta, mes = sys.argv[1], sys.argv[2]
    cuantos, bytes_ = int(sys.argv[3]), int(sys.argv[4])
    otros = int(sys.argv[5]) if len(sys.argv) > 5 else 0
    anteriores = int(sys.argv[6]) if len(sys.argv) > 6 else 0
    (anterior,) = meses_antes(mes, 1, 1)
    os.makedirs(carpeta, exist_ok=True)
    for i in range(cuantos):
        escribe(os.path.join(carpeta, f"ACUSE_{mes}15_{i:05d}.xml"), bytes_)
    for i in range(anteriores):
        escribe(os.path.join(carpeta, f"ACUSE_{anterior}15_{i:05d}.xml"), bytes_)
    viejos = list(meses_antes(mes, 2, 12))
    for i in range(otros):
        escribe(os.path.join(carpeta, f"ACUSE_{viejos[i % 12]}15_{i:05d}.xml"), 4096)

    # The clients select by substring: a stray match would make them fetch different sets.
    nombres = os.listdir(carpeta)
    del_mes = fnmatch.filter(nombres, f"*{mes}*.xml")
    del_anterior = fnmatch.filter(nombres, f"*{anterior}*.xml")
    if len(del_mes) != cuantos or len(del_anterior) != anteriores:
        sys.exit(f"siembra: {carpeta}: los nombres no separan los meses")


main()
