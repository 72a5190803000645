# find_package(fechas) gives fechas::fechas, the shared library libfechas.so.1,
# and fechas::fechas_static, the archive; both bring the header's folder along.
include("${CMAKE_CURRENT_LIST_DIR}/fechasTargets.cmake")
