"""Fills a host's Acuses folder: files of the month being fetched, optionally buried among
files of older months that every client lists but none fetches.

    python3 siembra.py CARPETA MES MES_ANTERIOR CUANTOS BYTES [OTROS]

MES and MES_ANTERIOR are YYYYMM: the program fetches both, so no older file may carry
either in its name.
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


def meses_viejos(mes, cuantos):
    """The `cuantos` months before the month before `mes`, newest first."""
    anio, m = int(mes[:4]), int(mes[4:])
    for _ in range(2):
        anio, m = (anio, m - 1) if m > 1 else (anio - 1, 12)
    for _ in range(cuantos):
        yield f"{anio:04d}{m:02d}"
        anio, m = (anio, m - 1) if m > 1 else (anio - 1, 12)


def main():
    carpeta, mes, anterior = sys.argv[1], sys.argv[2], sys.argv[3]
    cuantos, bytes_ = int(sys.argv[4]), int(sys.argv[5])
    otros = int(sys.argv[6]) if len(sys.argv) > 6 else 0
    os.makedirs(carpeta, exist_ok=True)
    for i in range(cuantos):
        escribe(os.path.join(carpeta, f"ACUSE_{mes}15_{i:05d}.xml"), bytes_)
    viejos = list(meses_viejos(mes, 12))
    for i in range(otros):
        escribe(os.path.join(carpeta, f"ACUSE_{viejos[i % 12]}15_{i:05d}.xml"), 4096)

    # The clients select by substring: a stray match would make them fetch different sets.
    nombres = os.listdir(carpeta)
    del_mes = fnmatch.filter(nombres, f"*{mes}*.xml")
    if len(del_mes) != cuantos or fnmatch.filter(nombres, f"*{anterior}*.xml"):
        sys.exit(f"siembra: {carpeta}: los nombres no separan los meses")


main()
