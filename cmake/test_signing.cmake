# Signing of the stand-in programs the tests and the demo download and start. The certificate
# is made at build time in the build tree (tools/test-signer.sh); nothing secret is kept.
set(VANTREO_TEST_SIGNER "Vantreo Test Publisher" CACHE STRING
    "Subject of the throw-away certificate the stand-in programs are signed with")
set(VANTREO_TEST_KEYS ${CMAKE_BINARY_DIR}/test-keys)

# vantreo_sign_program(OUTPUT file INPUT file SUBJECT name [DEPENDS ...]): OUTPUT is INPUT
# signed by a certificate with that subject.
function(vantreo_sign_program)
  cmake_parse_arguments(ARG "" "OUTPUT;INPUT;SUBJECT" "DEPENDS" ${ARGN})
  add_custom_command(OUTPUT ${ARG_OUTPUT}
    COMMAND ${CMAKE_SOURCE_DIR}/tools/test-signer.sh ${VANTREO_TEST_KEYS} "${ARG_SUBJECT}"
            ${ARG_INPUT} ${ARG_OUTPUT}
    DEPENDS ${ARG_INPUT} ${ARG_DEPENDS} ${CMAKE_SOURCE_DIR}/tools/test-signer.sh
    COMMENT "Signing ${ARG_OUTPUT} as ${ARG_SUBJECT}")
endfunction()
