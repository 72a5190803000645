// Calls into libSockVor.so as the command makes them, for the tests that link it.
#pragma once

#include "host_fixture.h"
#include "sockvor.h"

#include <gtest/gtest.h>

// The listing of May of `login`, which plans what the calls after it fetch.
inline void lista_mayo(const HostSftp &host, const std::string &login) {
    char lista[SOCKVOR_TAM_LISTA];
    char error[SOCKVOR_TAM_ERROR];
    ASSERT_EQ(ListaFolders(host.direccion().c_str(), login.c_str(), "d",
                           HostSftp::ruta_windows(login, "*201305*.xml").c_str(), lista, error),
              SOCKVOR_OK)
        << error;
}
