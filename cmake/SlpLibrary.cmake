# Chooses the SLP client library the daemon links: a system OpenSLP or our own (libslp/).
# The daemon's modules include <slp.h> through orvad_slp_headers; programs link orvad_slp_api,
# so unit tests can link a recording double instead.
find_path(ORVAD_OPENSLP_INCLUDE_DIR slp.h)
find_library(ORVAD_OPENSLP_LIBRARY slp)

if(ORVAD_SLP STREQUAL "auto")
  if(ORVAD_OPENSLP_INCLUDE_DIR AND ORVAD_OPENSLP_LIBRARY)
    set(ORVAD_SLP_BUILTIN OFF)
  else()
    set(ORVAD_SLP_BUILTIN ON)
  endif()
elseif(ORVAD_SLP STREQUAL "openslp")
  if(NOT (ORVAD_OPENSLP_INCLUDE_DIR AND ORVAD_OPENSLP_LIBRARY))
    message(FATAL_ERROR "ORVAD_SLP=openslp but no slp.h and libslp were found")
  endif()
  set(ORVAD_SLP_BUILTIN OFF)
elseif(ORVAD_SLP STREQUAL "builtin")
  set(ORVAD_SLP_BUILTIN ON)
else()
  message(FATAL_ERROR "ORVAD_SLP must be auto, openslp or builtin")
endif()

# A build check: everything that includes <slp.h>, our libslp's own sources excepted, is compiled
# against the slp.h in this folder instead (compat/rfc2614: the header as RFC 2614 writes it).
set(ORVAD_SLP_H_CHECK_DIR "" CACHE PATH "Compile the users of <slp.h> against the slp.h in this folder")

add_library(orvad_slp_headers INTERFACE)
add_library(orvad_slp_api INTERFACE)
target_link_libraries(orvad_slp_api INTERFACE orvad_slp_headers)
if(ORVAD_SLP_H_CHECK_DIR)
  target_include_directories(orvad_slp_headers INTERFACE ${ORVAD_SLP_H_CHECK_DIR})
endif()
if(ORVAD_SLP_BUILTIN)
  message(STATUS "SLP client library: built-in (libslp/)")
  target_include_directories(orvad_slp_headers INTERFACE ${PROJECT_SOURCE_DIR}/libslp/include)
  target_link_libraries(orvad_slp_api INTERFACE slp)
else()
  message(STATUS "SLP client library: system OpenSLP (${ORVAD_OPENSLP_LIBRARY})")
  target_include_directories(orvad_slp_headers SYSTEM INTERFACE ${ORVAD_OPENSLP_INCLUDE_DIR})
  target_link_libraries(orvad_slp_api INTERFACE ${ORVAD_OPENSLP_LIBRARY})
endif()
