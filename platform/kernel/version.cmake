# The driver's version, from its one definition in dsm/tarn.h:
# TARN_VERSION ("4.0.183.10") and TARN_VERSION_WORDS ("4,0,183,10").
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../../dsm/tarn.h TARN_VERSION_LINE REGEX "^#define TARN_DRIVER_VERSION ")
if(NOT TARN_VERSION_LINE MATCHES "\"([0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+)\"")
  message(FATAL_ERROR "dsm/tarn.h defines no TARN_DRIVER_VERSION")
endif()
set(TARN_VERSION ${CMAKE_MATCH_1})
string(REPLACE "." "," TARN_VERSION_WORDS ${TARN_VERSION})
