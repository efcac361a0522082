# Chooses the switch management library the daemon links: the vendor's (ORVAD_KESH_DIR)
# or the development stand-in (sim/kesh). The daemon's modules include "kesh.h" through
# orvad_kesh_headers; only programs link orvad_kesh_api, so unit tests can link a double instead.
add_library(orvad_kesh_headers INTERFACE)
add_library(orvad_kesh_api INTERFACE)
target_link_libraries(orvad_kesh_api INTERFACE orvad_kesh_headers)
if(ORVAD_KESH_DIR)
  find_library(ORVAD_KESH_LIBRARY kesh PATHS ${ORVAD_KESH_DIR} NO_DEFAULT_PATH REQUIRED)
  find_library(ORVAD_KESHSTUBSSL_LIBRARY keshstubssl PATHS ${ORVAD_KESH_DIR} NO_DEFAULT_PATH REQUIRED)
  target_include_directories(orvad_kesh_headers INTERFACE ${ORVAD_KESH_DIR})
  set(kesh ${ORVAD_KESH_LIBRARY})
  set(keshstubssl ${ORVAD_KESHSTUBSSL_LIBRARY})
else()
  target_include_directories(orvad_kesh_headers INTERFACE ${PROJECT_SOURCE_DIR}/switchlib)
  set(kesh kesh)
  set(keshstubssl keshstubssl)
endif()
# The stub library stays a dependency of the program, as on the switch, even where the
# linker drops by default a library that none of the program's own symbols need.
target_link_libraries(orvad_kesh_api INTERFACE ${kesh} "-Wl,--push-state,--no-as-needed" ${keshstubssl}
                      "-Wl,--pop-state")
