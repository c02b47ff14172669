# Trust settings of the build: the update server's scheme, the vendor's code-signing certificates that
# update archives must be signed with, the signer certificates refused even
# so, whether a signature is required, the
# extra certificate authorities HTTPS trusts, and the certificate and key
# that sign the Windows package. Included by QuonConfig.cmake; every file is
# checked here with the openssl command so that a wrong file stops the
# configuration instead of producing an updater that refuses every update.

set(QUON_UPDATE_SCHEME "http" CACHE STRING "Scheme of the update server: http or https")
set_property(CACHE QUON_UPDATE_SCHEME PROPERTY STRINGS http https)
# A FILEPATH, so that CMake makes each relative entry of the list absolute.
set(QUON_UPDATE_SIGNER_CERT "" CACHE FILEPATH
    "The vendor's code-signing certificates (PEM or DER files, separated by ;); update archives must be signed by one of them or by a certificate one of them issued")
set(QUON_UPDATE_REVOKED_CERTS "" CACHE STRING
    "SHA-256 fingerprints (of the DER form, separated by ;) of signer or vendor certificates whose archives are refused")
set(QUON_UPDATE_REQUIRE_SIGNATURE "" CACHE STRING
    "Refuse update archives without a valid signature (ON/OFF; empty: ON when QUON_UPDATE_SIGNER_CERT is given)")
set(QUON_UPDATE_EXTRA_CA_FILE "" CACHE FILEPATH
    "PEM file of certificate authorities that HTTPS trusts in addition to the system's store (for tests)")
set(QUON_CODESIGN_CERT "" CACHE FILEPATH "Code-signing certificate (PEM or DER) for QuonUpdate.exe and CABLIB.DLL in package-win")
set(QUON_CODESIGN_KEY "" CACHE FILEPATH "Private key (PEM or DER) matching QUON_CODESIGN_CERT")
set(QUON_CODESIGN_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 time-stamping authority that package-win's signatures are timestamped by (http or https URL)")

file(MAKE_DIRECTORY ${QUON_GENERATED_DIR})

# quon_bytes_initializer(<out> <hex>): "0x.., 0x.., ..., 0x00" from a hex
# dump, with a terminating zero byte so that an empty value still makes a
# valid array (its length is the array's size less one).
function(quon_bytes_initializer out hex)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  set(${out} "${bytes}0x00" PARENT_SCOPE)
endfunction()

function(_quon_require_openssl what)
  find_program(QUON_OPENSSL_EXECUTABLE openssl)
  if(NOT QUON_OPENSSL_EXECUTABLE)
    message(FATAL_ERROR "${what} is set, but the 'openssl' command that checks it was not found (Debian package openssl).")
  endif()
endfunction()

# _quon_read_certificate(<var> <file> <der_out>): checks that <file> holds
# exactly one X.509 certificate (PEM or DER) and writes its DER form.
function(_quon_read_certificate var file der_out)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "${var}='${file}' is not a file.")
  endif()
  _quon_require_openssl(${var})
  file(READ "${file}" head LIMIT 4096)
  set(form DER)
  if(head MATCHES "-----BEGIN")
    set(form PEM)
    file(STRINGS "${file}" begins REGEX "-----BEGIN CERTIFICATE-----")
    list(LENGTH begins count)
    if(NOT count EQUAL 1)
      message(FATAL_ERROR "${var}='${file}' must hold exactly one certificate (it holds ${count}).")
    endif()
  endif()
  execute_process(
    COMMAND ${QUON_OPENSSL_EXECUTABLE} x509 -inform ${form} -in "${file}" -outform DER -out "${der_out}"
    RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${var}='${file}' is not an X.509 certificate in PEM or DER form:\n${err}")
  endif()
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
endfunction()

# quon_normalize_fingerprints(<out> <variable name> <list>): the SHA-256
# fingerprints of <list> in 64 lowercase hex digits, separated by ';'
# (colons and uppercase accepted on input; empty entries skipped); a
# malformed entry stops the configuration.
function(quon_normalize_fingerprints out var)
  set(result "")
  foreach(given IN LISTS ARGN)
    string(STRIP "${given}" fingerprint)
    string(REPLACE ":" "" fingerprint "${fingerprint}")
    string(TOLOWER "${fingerprint}" fingerprint)
    if(fingerprint STREQUAL "")
      continue()
    endif()
    string(LENGTH "${fingerprint}" length)
    if(NOT length EQUAL 64 OR NOT fingerprint MATCHES "^[0-9a-f]+$")
      message(FATAL_ERROR "${var}: '${given}' is not a SHA-256 fingerprint (64 hex digits).")
    endif()
    list(APPEND result ${fingerprint})
  endforeach()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

# quon_trust_values(SCHEME s SIGNER_CERT f... REVOKED_CERTS fp... REQUIRE_SIGNATURE r
#                   EXTRA_CA_FILE f GENERATED_DIR d): checks one set of trust
# settings (as the cache variables of the same names take them) and sets, in
# the caller's scope, what build_config.cpp.in needs: QUON_UPDATE_DEFAULT_PORT,
# QUON_UPDATE_SIGNER_DER_BYTES and QUON_UPDATE_SIGNER_SIZES (the trusted
# certificates one after the other, and their sizes),
# QUON_UPDATE_REVOKED_FINGERPRINTS, QUON_UPDATE_REQUIRE_SIGNATURE_VALUE and
# QUON_UPDATE_EXTRA_CA_PEM_BYTES. The build's own settings go through it
# below; a test configuration (quon_add_build_config) through it again.
function(quon_trust_values)
  cmake_parse_arguments(ARG "" "SCHEME;REQUIRE_SIGNATURE;EXTRA_CA_FILE;GENERATED_DIR" "SIGNER_CERT;REVOKED_CERTS"
                        ${ARGN})
  if(NOT "${ARG_SCHEME}" MATCHES "^(http|https)$")
    message(FATAL_ERROR "QUON_UPDATE_SCHEME='${ARG_SCHEME}' must be http or https.")
  endif()
  if("${ARG_SCHEME}" STREQUAL "https")
    set(QUON_UPDATE_DEFAULT_PORT 443 PARENT_SCOPE)
  else()
    set(QUON_UPDATE_DEFAULT_PORT 80 PARENT_SCOPE)
  endif()

  # The revoked certificates.
  quon_normalize_fingerprints(revoked QUON_UPDATE_REVOKED_CERTS ${ARG_REVOKED_CERTS})
  set(QUON_UPDATE_REVOKED_FINGERPRINTS "${revoked}" PARENT_SCOPE)

  # The trusted signers, each file checked; one that cannot be read stops
  # the configuration rather than leaving a client that refuses its root.
  set(signer_hex "")
  set(signer_sizes "")
  set(signers "")
  set(index 0)
  foreach(cert IN LISTS ARG_SIGNER_CERT)
    if("${cert}" STREQUAL "")
      continue()
    endif()
    set(signer_der ${ARG_GENERATED_DIR}/update-signer-${index}.der)
    math(EXPR index "${index} + 1")
    _quon_read_certificate(QUON_UPDATE_SIGNER_CERT "${cert}" ${signer_der})
    file(READ ${signer_der} hex HEX)
    file(SIZE ${signer_der} size)
    string(APPEND signer_hex "${hex}")
    string(APPEND signer_sizes "${size}, ")
    list(APPEND signers "${cert}")
    file(SHA256 ${signer_der} signer_sha256)
    message(STATUS "Update archives are checked against the signer certificate with SHA-256 ${signer_sha256}")
    if(signer_sha256 IN_LIST revoked)
      message(WARNING "QUON_UPDATE_SIGNER_CERT '${cert}' is itself in QUON_UPDATE_REVOKED_CERTS: "
                      "every archive signed under it is refused.")
    endif()
  endforeach()
  set(ARG_SIGNER_CERT "${signers}")
  quon_bytes_initializer(signer_bytes "${signer_hex}")
  set(QUON_UPDATE_SIGNER_DER_BYTES "${signer_bytes}" PARENT_SCOPE)
  set(QUON_UPDATE_SIGNER_SIZES "${signer_sizes}" PARENT_SCOPE)
  set(QUON_UPDATE_SIGNER_COUNT ${index} PARENT_SCOPE)

  if("${ARG_REQUIRE_SIGNATURE}" STREQUAL "")
    if("${ARG_SIGNER_CERT}" STREQUAL "")
      set(require OFF)
    else()
      set(require ON)
    endif()
  elseif("${ARG_REQUIRE_SIGNATURE}" MATCHES "^(ON|On|on|OFF|Off|off|TRUE|True|true|FALSE|False|false|YES|Yes|yes|NO|No|no|1|0)$")
    set(require ${ARG_REQUIRE_SIGNATURE})
  else()
    message(FATAL_ERROR "QUON_UPDATE_REQUIRE_SIGNATURE='${ARG_REQUIRE_SIGNATURE}' must be ON, OFF or empty.")
  endif()
  if(require)
    if("${ARG_SIGNER_CERT}" STREQUAL "")
      message(FATAL_ERROR
        "QUON_UPDATE_REQUIRE_SIGNATURE is ON but QUON_UPDATE_SIGNER_CERT names no certificate: "
        "the updater could not accept any archive. Give the vendor's code-signing certificate, or turn it OFF.")
    endif()
    set(QUON_UPDATE_REQUIRE_SIGNATURE_VALUE true PARENT_SCOPE)
  else()
    set(QUON_UPDATE_REQUIRE_SIGNATURE_VALUE false PARENT_SCOPE)
  endif()

  # Extra certificate authorities for HTTPS: a PEM file with one or more
  # certificates, compiled in as it stands.
  set(ca_hex "")
  if(NOT "${ARG_EXTRA_CA_FILE}" STREQUAL "")
    if(NOT EXISTS "${ARG_EXTRA_CA_FILE}" OR IS_DIRECTORY "${ARG_EXTRA_CA_FILE}")
      message(FATAL_ERROR "QUON_UPDATE_EXTRA_CA_FILE='${ARG_EXTRA_CA_FILE}' is not a file.")
    endif()
    _quon_require_openssl(QUON_UPDATE_EXTRA_CA_FILE)
    file(STRINGS "${ARG_EXTRA_CA_FILE}" ca_begins REGEX "-----BEGIN CERTIFICATE-----")
    execute_process(
      COMMAND ${QUON_OPENSSL_EXECUTABLE} crl2pkcs7 -nocrl -certfile "${ARG_EXTRA_CA_FILE}"
      RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_QUIET)
    if(NOT ca_begins OR NOT rc EQUAL 0)
      message(FATAL_ERROR
        "QUON_UPDATE_EXTRA_CA_FILE='${ARG_EXTRA_CA_FILE}' must be a PEM file of certificates:\n${err}")
    endif()
    file(SIZE "${ARG_EXTRA_CA_FILE}" ca_size)
    if(ca_size GREATER 1048576)
      message(FATAL_ERROR "QUON_UPDATE_EXTRA_CA_FILE='${ARG_EXTRA_CA_FILE}' is larger than 1 MiB.")
    endif()
    file(READ "${ARG_EXTRA_CA_FILE}" ca_hex HEX)
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ARG_EXTRA_CA_FILE}")
    if("${ARG_SCHEME}" STREQUAL "http")
      message(WARNING "QUON_UPDATE_EXTRA_CA_FILE is set but QUON_UPDATE_SCHEME is http: the certificates are not used.")
    elseif(WIN32)
      message(WARNING "QUON_UPDATE_EXTRA_CA_FILE is not used on Windows: WinINet trusts the system's certificate "
                      "store only.")
    endif()
  endif()
  quon_bytes_initializer(ca_bytes "${ca_hex}")
  set(QUON_UPDATE_EXTRA_CA_PEM_BYTES "${ca_bytes}" PARENT_SCOPE)
endfunction()

quon_trust_values(SCHEME "${QUON_UPDATE_SCHEME}" SIGNER_CERT ${QUON_UPDATE_SIGNER_CERT}
                  REVOKED_CERTS ${QUON_UPDATE_REVOKED_CERTS}
                  REQUIRE_SIGNATURE "${QUON_UPDATE_REQUIRE_SIGNATURE}" EXTRA_CA_FILE "${QUON_UPDATE_EXTRA_CA_FILE}"
                  GENERATED_DIR ${QUON_GENERATED_DIR})

# Code signing of the Windows package: both files or neither.
set(QUON_CODESIGN_ENABLED OFF)
if(NOT QUON_CODESIGN_CERT STREQUAL "" OR NOT QUON_CODESIGN_KEY STREQUAL "")
  if(QUON_CODESIGN_CERT STREQUAL "" OR QUON_CODESIGN_KEY STREQUAL "")
    message(FATAL_ERROR "QUON_CODESIGN_CERT and QUON_CODESIGN_KEY must be given together.")
  endif()
  _quon_read_certificate(QUON_CODESIGN_CERT "${QUON_CODESIGN_CERT}" ${QUON_GENERATED_DIR}/codesign-cert.der)
  execute_process(
    COMMAND ${QUON_OPENSSL_EXECUTABLE} pkey -in "${QUON_CODESIGN_KEY}" -noout
    RESULT_VARIABLE _quon_rc ERROR_VARIABLE _quon_err)
  if(NOT _quon_rc EQUAL 0)
    execute_process(
      COMMAND ${QUON_OPENSSL_EXECUTABLE} pkey -inform DER -in "${QUON_CODESIGN_KEY}" -noout
      RESULT_VARIABLE _quon_rc ERROR_VARIABLE _quon_err)
  endif()
  if(NOT _quon_rc EQUAL 0)
    message(FATAL_ERROR "QUON_CODESIGN_KEY='${QUON_CODESIGN_KEY}' is not an unencrypted private key in PEM or DER form:\n${_quon_err}")
  endif()
  find_program(QUON_OSSLSIGNCODE_EXECUTABLE osslsigncode)
  if(NOT QUON_OSSLSIGNCODE_EXECUTABLE)
    message(FATAL_ERROR "QUON_CODESIGN_CERT is set, but 'osslsigncode' was not found (Debian package osslsigncode).")
  endif()
  set(QUON_CODESIGN_ENABLED ON)
endif()
if(NOT QUON_CODESIGN_TIMESTAMP_URL STREQUAL "")
  if(NOT QUON_CODESIGN_ENABLED)
    message(FATAL_ERROR "QUON_CODESIGN_TIMESTAMP_URL is set, but QUON_CODESIGN_CERT and QUON_CODESIGN_KEY are not.")
  endif()
  if(NOT QUON_CODESIGN_TIMESTAMP_URL MATCHES "^https?://[^ \"';]+$")
    message(FATAL_ERROR "QUON_CODESIGN_TIMESTAMP_URL='${QUON_CODESIGN_TIMESTAMP_URL}' must be an http or https URL.")
  endif()
endif()

# quon_codesign_commands(<out> <file>...): the COMMAND arguments of a custom
# target that sign each file in place with the package's certificate;
# empty when the build signs nothing.
function(quon_codesign_commands out)
  set(cmds)
  # With a time-stamping authority the signatures outlive the certificate.
  # osslsigncode fails when the authority does not answer, and the file is
  # then left unsigned and the build fails: never an untimestamped program
  # in its place.
  set(timestamp)
  if(NOT QUON_CODESIGN_TIMESTAMP_URL STREQUAL "")
    set(timestamp -ts ${QUON_CODESIGN_TIMESTAMP_URL})
  endif()
  if(QUON_CODESIGN_ENABLED)
    foreach(f ${ARGN})
      list(APPEND cmds
        COMMAND ${CMAKE_COMMAND} -E rm -f ${f}.signed
        COMMAND ${QUON_OSSLSIGNCODE_EXECUTABLE} sign -certs ${QUON_CODESIGN_CERT} -key ${QUON_CODESIGN_KEY}
                -h sha256 -n QuonUpdate ${timestamp} -in ${f} -out ${f}.signed
        COMMAND ${CMAKE_COMMAND} -E rename ${f}.signed ${f})
    endforeach()
  endif()
  set(${out} ${cmds} PARENT_SCOPE)
endfunction()
