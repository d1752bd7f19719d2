# Code signing of the libraries that the loader binds.
#
# On Windows the libraries carry Authenticode signatures made with osslsigncode by the
# same kind of development CA; the root's PEM file is imported into the machine's Root
# store of the Wine prefix that runs the tests.
#
# The build creates a development CA in the build tree once (a root, and a
# code-signing certificate issued by it) and signs each library after linking with
# `vexa-platform sign`. Tests and the demo trust the development root in the machine
# state they set up; nothing outside the build tree ever trusts it.

set(VEXA_DEV_CA_DIR "${CMAKE_BINARY_DIR}/devca")
set(VEXA_DEV_ROOT_CERT "${VEXA_DEV_CA_DIR}/root-cert.pem")
set(VEXA_DEV_ROOT_KEY "${VEXA_DEV_CA_DIR}/root-key.pem")
set(VEXA_DEV_SIGNER_CERT "${VEXA_DEV_CA_DIR}/signer-cert.pem")
set(VEXA_DEV_SIGNER_KEY "${VEXA_DEV_CA_DIR}/signer-key.pem")

function(_vexa_openssl)
  execute_process(COMMAND openssl ${ARGN} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "openssl ${ARGN} failed: ${err}")
  endif()
endfunction()

if(WIN32)
  # Authenticode with osslsigncode. RSA keys, and a signer certificate that the root
  # signs with SHA-1: Wine 8 accepts a SHA-256-signed signer certificate even when its
  # root is not trusted, so only this form lets the untrusted case be tested there.
  find_program(VEXA_OSSLSIGNCODE osslsigncode REQUIRED)
  if(NOT EXISTS "${VEXA_DEV_SIGNER_CERT}")
    find_program(VEXA_OPENSSL openssl REQUIRED)
    file(MAKE_DIRECTORY "${VEXA_DEV_CA_DIR}")
    file(WRITE "${VEXA_DEV_CA_DIR}/signer.ext"
      "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n")
    _vexa_openssl(req -x509 -newkey rsa:2048 -nodes -sha256
                  -keyout "${VEXA_DEV_ROOT_KEY}" -out "${VEXA_DEV_ROOT_CERT}" -days 3650
                  -subj "/CN=Vexa Development Root" -addext "basicConstraints=critical,CA:TRUE"
                  -addext "keyUsage=critical,keyCertSign,cRLSign")
    _vexa_openssl(req -newkey rsa:2048 -nodes
                  -keyout "${VEXA_DEV_SIGNER_KEY}" -out "${VEXA_DEV_CA_DIR}/signer.csr"
                  -subj "/CN=Vexa Development Code Signing")
    _vexa_openssl(x509 -req -sha1 -in "${VEXA_DEV_CA_DIR}/signer.csr" -CA "${VEXA_DEV_ROOT_CERT}"
                  -CAkey "${VEXA_DEV_ROOT_KEY}" -CAcreateserial -days 3650
                  -extfile "${VEXA_DEV_CA_DIR}/signer.ext" -out "${VEXA_DEV_SIGNER_CERT}")
  endif()
  # The signature carries the root too. Windows judges the root by the Root store either
  # way; Wine 8 accepts a chain whose issuer it cannot find at all, and refuses an
  # untrusted root only when the root is at hand.
  set(VEXA_DEV_SIGNING_CHAIN "${VEXA_DEV_CA_DIR}/signing-chain.pem")
  if(NOT EXISTS "${VEXA_DEV_SIGNING_CHAIN}")
    file(READ "${VEXA_DEV_SIGNER_CERT}" _vexa_signer_pem)
    file(READ "${VEXA_DEV_ROOT_CERT}" _vexa_root_pem)
    file(WRITE "${VEXA_DEV_SIGNING_CHAIN}" "${_vexa_signer_pem}${_vexa_root_pem}")
  endif()
elseif(NOT EXISTS "${VEXA_DEV_SIGNER_CERT}")
  find_program(VEXA_OPENSSL openssl REQUIRED)
  file(MAKE_DIRECTORY "${VEXA_DEV_CA_DIR}")
  file(WRITE "${VEXA_DEV_CA_DIR}/root.ext"
    "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\nsubjectKeyIdentifier=hash\n")
  file(WRITE "${VEXA_DEV_CA_DIR}/signer.ext"
    "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n")
  _vexa_openssl(req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes
                -keyout "${VEXA_DEV_ROOT_KEY}" -out "${VEXA_DEV_ROOT_CERT}" -days 3650
                -subj "/CN=Vexa Development Root" -addext "basicConstraints=critical,CA:TRUE"
                -addext "keyUsage=critical,keyCertSign,cRLSign")
  _vexa_openssl(req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes
                -keyout "${VEXA_DEV_SIGNER_KEY}" -out "${VEXA_DEV_CA_DIR}/signer.csr"
                -subj "/CN=Vexa Development Code Signing")
  _vexa_openssl(x509 -req -in "${VEXA_DEV_CA_DIR}/signer.csr" -CA "${VEXA_DEV_ROOT_CERT}"
                -CAkey "${VEXA_DEV_ROOT_KEY}" -CAcreateserial -days 3650
                -extfile "${VEXA_DEV_CA_DIR}/signer.ext" -out "${VEXA_DEV_SIGNER_CERT}")
endif()

# vexa_sign_library(<target>): sign the target's file in place after every link.
function(vexa_sign_library target)
  if(WIN32)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E remove -f "$<TARGET_FILE:${target}>.signed"
      COMMAND "${VEXA_OSSLSIGNCODE}" sign -h sha256 -certs "${VEXA_DEV_SIGNING_CHAIN}" -key "${VEXA_DEV_SIGNER_KEY}"
              -in "$<TARGET_FILE:${target}>" -out "$<TARGET_FILE:${target}>.signed"
      COMMAND ${CMAKE_COMMAND} -E rename "$<TARGET_FILE:${target}>.signed" "$<TARGET_FILE:${target}>"
      COMMENT "Signing ${target} (Authenticode)"
      VERBATIM)
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND vexa-platform sign "$<TARGET_FILE:${target}>"
            --key "${VEXA_DEV_SIGNER_KEY}" --cert "${VEXA_DEV_SIGNER_CERT}"
    COMMENT "Signing ${target}"
    VERBATIM)
  add_dependencies(${target} vexa-platform)
endfunction()
