# Writes generated/tls_roots.h: VANTREO_TLS_ROOTS_PEM, the text of the VANTREO_TLS_ROOTS file
# as a string literal (empty when none is set). The file is read again whenever it changes.
set(VANTREO_TLS_ROOTS_TEXT "\"\"")
if(VANTREO_TLS_ROOTS)
  if(NOT EXISTS "${VANTREO_TLS_ROOTS}")
    message(FATAL_ERROR "VANTREO_TLS_ROOTS: no such file: ${VANTREO_TLS_ROOTS}")
  endif()
  file(READ "${VANTREO_TLS_ROOTS}" pem)
  if(NOT pem MATCHES "-----BEGIN CERTIFICATE-----")
    message(FATAL_ERROR "VANTREO_TLS_ROOTS: ${VANTREO_TLS_ROOTS} holds no PEM certificate")
  endif()
  # PEM is base64 and header lines (no quote, no backslash): one literal a line.
  string(REPLACE "\r" "" pem "${pem}")
  string(REGEX REPLACE "\n+$" "" pem "${pem}")
  string(REPLACE "\n" "\\n\" \\\n    \"" pem "${pem}")
  set(VANTREO_TLS_ROOTS_TEXT "\\\n    \"${pem}\\n\"")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${VANTREO_TLS_ROOTS}")
endif()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/tls_roots.h
     CONTENT "// Generated from VANTREO_TLS_ROOTS: the roots https downloads trust (empty: the system's).\n#pragma once\n#define VANTREO_TLS_ROOTS_PEM @VANTREO_TLS_ROOTS_TEXT@\n"
     @ONLY)
