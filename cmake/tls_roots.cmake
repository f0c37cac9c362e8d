# Writes generated/tls_roots.h: VANTREO_TLS_ROOTS_PEM, the text of the VANTREO_TLS_ROOTS file
# (empty when none is set). The file is read again whenever it changes.
set(VANTREO_TLS_ROOTS_TEXT "")
if(VANTREO_TLS_ROOTS)
  if(NOT EXISTS "${VANTREO_TLS_ROOTS}")
    message(FATAL_ERROR "VANTREO_TLS_ROOTS: no such file: ${VANTREO_TLS_ROOTS}")
  endif()
  file(READ "${VANTREO_TLS_ROOTS}" VANTREO_TLS_ROOTS_TEXT)
  if(NOT VANTREO_TLS_ROOTS_TEXT MATCHES "-----BEGIN CERTIFICATE-----")
    message(FATAL_ERROR "VANTREO_TLS_ROOTS: ${VANTREO_TLS_ROOTS} holds no PEM certificate")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${VANTREO_TLS_ROOTS}")
endif()
# PEM text is base64 and header lines: a raw string literal carries it unchanged.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/tls_roots.h
     CONTENT "// Generated from VANTREO_TLS_ROOTS: the roots https downloads trust (empty: the system's).\n#pragma once\n#define VANTREO_TLS_ROOTS_PEM R\"PEM(@VANTREO_TLS_ROOTS_TEXT@)PEM\"\n"
     @ONLY)
