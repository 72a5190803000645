# Read by cpack after CPackConfig.cmake (CPACK_PROJECT_CONFIG_FILE, set in Fechas.cmake).
# Packaging by component takes each package's description from
# CPACK_DEBIAN_<COMPONENT>_DESCRIPTION and puts the project's one-line summary
# before it; the summary and description Distribucion.cmake wrote are the acuses
# package's alone, so they move there, whatever they say by then.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEBIAN_ACUSES_DESCRIPTION
    "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
  unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
endif()
