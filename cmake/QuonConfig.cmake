# Compile-time configuration of the updater. Everything the program cannot
# derive from its own directory is fixed here, checked once, and compiled
# into exactly one object file (build_config.cpp) so that a build speaks
# only the key it was configured with.

set(QUON_UPDATE_HOST "updates.quon-sim.example" CACHE STRING "Host name of the update server")
set(QUON_UPDATE_PORT "" CACHE STRING "TCP port of the update server (empty: 80 for http, 443 for https)")
set(QUON_UPDATE_PATH "/quonupdate/service.asp" CACHE STRING "Path of the update service page")
set(QUON_POLICY_FILE "/etc/quon/QuonUpdate.conf" CACHE STRING
    "The administrator's policy file the Linux updater reads (tests build with a path of their own)")
if(WIN32)
  set(_quon_default_state_file "")
else()
  set(_quon_default_state_file "/var/lib/quon/QuonUpdate.state")
endif()
set(QUON_STATE_FILE "${_quon_default_state_file}" CACHE STRING
    "The updater's state file (revocations, the release files seen); empty on Windows: %ProgramData%\\Quon\\QuonUpdate\\state")
set(QUON_SCRAMBLE_KEY
    "EveryCarefulEngineerChecksThePressureGaugesTwiceBeforeOpeningTheMainValveBecauseSteamRemembersNothingAndForgivesLessWhileQuietTurbinesHumAlongTheNorthernRidgeUnderSilverCloudsWherePatientSurveyorsMeasureRiversBridgesAndTunnelsThroughDeepFog1987"
    CACHE STRING "Key shared with the update server: 244 ASCII letters and digits (240 letters, 4 digits)")

if(NOT QUON_UPDATE_HOST MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")
  message(FATAL_ERROR "QUON_UPDATE_HOST='${QUON_UPDATE_HOST}' is not a host name (letters, digits, '.' and '-').")
endif()
set(QUON_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)

# quon_check_state_file(<variable name> <path>): an absolute path without
# quotes or backslashes (on Windows a drive's path with '/', or empty for
# the default under %ProgramData%).
function(quon_check_state_file var path)
  if(WIN32)
    if(NOT path STREQUAL "" AND NOT path MATCHES "^[A-Za-z]:/[^\"\\]*$")
      message(FATAL_ERROR "${var}='${path}' must be empty or a path such as C:/Quon/state, without quotes or backslashes.")
    endif()
  elseif(NOT path MATCHES "^/[^\"\\]*[^/]$")
    message(FATAL_ERROR "${var}='${path}' must be an absolute file path without quotes or backslashes.")
  endif()
endfunction()
# The scheme (and with it the default port), signing and certificates.
include(${CMAKE_CURRENT_LIST_DIR}/QuonTrustConfig.cmake)
if(QUON_UPDATE_PORT STREQUAL "")
  set(QUON_UPDATE_PORT_NUMBER ${QUON_UPDATE_DEFAULT_PORT})
else()
  set(QUON_UPDATE_PORT_NUMBER "${QUON_UPDATE_PORT}")
endif()
if(NOT QUON_UPDATE_PORT_NUMBER MATCHES "^[0-9]+$" OR QUON_UPDATE_PORT_NUMBER LESS 1 OR QUON_UPDATE_PORT_NUMBER GREATER 65535)
  message(FATAL_ERROR "QUON_UPDATE_PORT='${QUON_UPDATE_PORT}' must be a number from 1 to 65535.")
endif()
if(NOT QUON_POLICY_FILE MATCHES "^/[^\"\\]*$")
  message(FATAL_ERROR "QUON_POLICY_FILE='${QUON_POLICY_FILE}' must be an absolute path without quotes or backslashes.")
endif()
quon_check_state_file(QUON_STATE_FILE "${QUON_STATE_FILE}")
if(NOT QUON_UPDATE_PATH MATCHES "^/[A-Za-z0-9._~/-]*$")
  message(FATAL_ERROR "QUON_UPDATE_PATH='${QUON_UPDATE_PATH}' must start with '/' and hold only letters, digits and . _ ~ / -")
endif()

string(LENGTH "${QUON_SCRAMBLE_KEY}" _quon_key_len)
string(REGEX REPLACE "[^0-9]" "" _quon_key_digits "${QUON_SCRAMBLE_KEY}")
string(LENGTH "${_quon_key_digits}" _quon_key_ndigits)
if(NOT QUON_SCRAMBLE_KEY MATCHES "^[A-Za-z0-9]+$" OR NOT _quon_key_len EQUAL 244 OR NOT _quon_key_ndigits EQUAL 4)
  message(FATAL_ERROR
    "QUON_SCRAMBLE_KEY must be exactly 244 ASCII letters and digits, 240 letters and 4 digits "
    "(got ${_quon_key_len} characters, ${_quon_key_ndigits} digits).")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/build_config.cpp.in ${QUON_GENERATED_DIR}/build_config.cpp @ONLY)
set(QUON_BUILD_CONFIG_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/build_config.cpp.in)

# quon_add_build_config(NAME [HOST h] [PORT p] [SCHEME s] [SIGNER_CERT f...]
#                       [REVOKED_CERTS fp...] [EXTRA_CA_FILE f] [POLICY_FILE f]
#                       [STATE_FILE f]): a second configuration for test
# programs, library quon_build_config_NAME, with the build's key and path and
# these settings (the signature required when a signer is given). A program
# links it in place of the build's own (quon_build_config, see
# src/base/CMakeLists.txt) by setting its target property
# QUON_BUILD_CONFIG to NAME; everything else it links stays as built.
function(quon_add_build_config name)
  cmake_parse_arguments(ARG "" "HOST;PORT;SCHEME;EXTRA_CA_FILE;POLICY_FILE;STATE_FILE" "SIGNER_CERT;REVOKED_CERTS"
                        ${ARGN})
  set(dir ${QUON_GENERATED_DIR}/${name})
  file(MAKE_DIRECTORY ${dir})
  if(NOT ARG_SCHEME)
    set(ARG_SCHEME http)
  endif()
  quon_trust_values(SCHEME ${ARG_SCHEME} SIGNER_CERT ${ARG_SIGNER_CERT} REVOKED_CERTS ${ARG_REVOKED_CERTS}
                    REQUIRE_SIGNATURE ""
                    EXTRA_CA_FILE "${ARG_EXTRA_CA_FILE}" GENERATED_DIR ${dir})
  # configure_file takes the values from this scope.
  set(QUON_UPDATE_SCHEME ${ARG_SCHEME})
  if(ARG_POLICY_FILE)
    set(QUON_POLICY_FILE ${ARG_POLICY_FILE})
  endif()
  if(ARG_STATE_FILE)
    quon_check_state_file(STATE_FILE "${ARG_STATE_FILE}")
    set(QUON_STATE_FILE ${ARG_STATE_FILE})
  endif()
  if(ARG_HOST)
    set(QUON_UPDATE_HOST ${ARG_HOST})
  endif()
  if(ARG_PORT)
    set(QUON_UPDATE_PORT_NUMBER ${ARG_PORT})
  else()
    set(QUON_UPDATE_PORT_NUMBER ${QUON_UPDATE_DEFAULT_PORT})
  endif()
  configure_file(${QUON_BUILD_CONFIG_TEMPLATE} ${dir}/build_config.cpp @ONLY)
  add_library(quon_build_config_${name} STATIC ${dir}/build_config.cpp)
  target_include_directories(quon_build_config_${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
endfunction()
