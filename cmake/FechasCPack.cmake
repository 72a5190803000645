# Read by cpack after CPackConfig.cmake (CPACK_PROJECT_CONFIG_FILE, set in Fechas.cmake).
# Distribucion.cmake describes the acuses package in the variables for a package as
# a whole; packaging by component would give them to every package, so they move
# to the acuses component, whatever they say by then. The one-line summary, which
# component packaging puts before each package's description, goes with them.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEBIAN_ACUSES_DESCRIPTION
    "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
  unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
  foreach(campo DEPENDS PREDEPENDS RECOMMENDS SUGGESTS ENHANCES BREAKS CONFLICTS PROVIDES
                REPLACES CONTROL_EXTRA CONTROL_STRICT_PERMISSION)
    if(DEFINED CPACK_DEBIAN_PACKAGE_${campo} AND NOT DEFINED CPACK_DEBIAN_ACUSES_PACKAGE_${campo})
      set(CPACK_DEBIAN_ACUSES_PACKAGE_${campo} "${CPACK_DEBIAN_PACKAGE_${campo}}")
    endif()
    unset(CPACK_DEBIAN_PACKAGE_${campo})
  endforeach()
endif()
