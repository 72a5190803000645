// The power-cut simulator as a process of its own: `corte_fs MONTAJE SEMILLA` mounts the
// file system of memoria.h at MONTAJE and says "montado" on its standard output. Once
// something unmounts it, it reads a line on its standard input: "corta" cuts the power
// (SEMILLA draws what the disk had kept of what was not flushed) and mounts what is
// left at the same place again; the end of its input ends it. Unmounting is the cut's
// moment because nothing the kernel kept of the file system (names, attributes, pages)
// outlives it either.
#include "sistema.h"

#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "uso: %s MONTAJE SEMILLA\n", argv[0]);
        return 2;
    }
    corte::Memoria memoria(std::stoull(argv[2]));
    for (;;) {
        char programa[] = "corte_fs", o[] = "-o", opciones[] = "fsname=corte,subtype=corte";
        char *argumentos[] = {programa, o, opciones};
        fuse_args args = FUSE_ARGS_INIT(3, argumentos);
        fuse_session *sesion =
            fuse_session_new(&args, &corte::operaciones(), sizeof(fuse_lowlevel_ops), &memoria);
        if (!sesion || fuse_set_signal_handlers(sesion) != 0 ||
            fuse_session_mount(sesion, argv[1]) != 0) {
            return 1;
        }
        std::cout << "montado" << std::endl;
        fuse_session_loop(sesion);
        fuse_remove_signal_handlers(sesion);
        fuse_session_unmount(sesion); // when it was a signal that ended the loop
        fuse_session_destroy(sesion);
        fuse_opt_free_args(&args);
        std::string orden;
        if (!std::getline(std::cin, orden) || orden != "corta") {
            return 0;
        }
        memoria.corta();
    }
}
