"""A relay that holds every chunk for a fixed delay in each direction, in order: a far host
for kernels without netem. It adds its own processing and models neither loss nor
bandwidth, but the round trips it charges are what a far host charges.

    python3 relevo.py RETARDO_MS ESCUCHA:DESTINO [ESCUCHA:DESTINO...]

Every ESCUCHA port on 127.0.0.1 forwards to DESTINO on 127.0.0.1.
"""

import asyncio
import sys


async def bombea(lector, escritor, retardo):
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


def atiende(destino, retardo):
    async def atiende_conexion(lector, escritor):
        lector_host, escritor_host = await asyncio.open_connection("127.0.0.1", destino)
        await asyncio.gather(
            bombea(lector, escritor_host, retardo),
            bombea(lector_host, escritor, retardo),
            return_exceptions=True,
        )

    return atiende_conexion


async def principal():
    retardo = int(sys.argv[1]) / 1000
    servidores = []
    for par in sys.argv[2:]:
        escucha, destino = (int(p) for p in par.split(":"))
        servidores.append(
            await asyncio.start_server(atiende(destino, retardo), "127.0.0.1", escucha)
        )
    await asyncio.gather(*(s.serve_forever() for s in servidores))


asyncio.run(principal())
