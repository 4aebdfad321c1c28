# Run by CPack after packaging: signs each package it made with the operator's key into a
# detached signature <package>.sig, which `QuarloCentral site publish` serves beside the
# package, and checks it against the public key the programs carry, so a key pair that does
# not match fails here and not on the users' PCs. CPack names the packages where it made them,
# before it copies them into the output folder: the signature goes there directly.
foreach(staged IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${staged} NAME)
  set(package ${CPACK_PACKAGE_DIRECTORY}/${name})
  execute_process(COMMAND ${CPACK_QUARLO_OPENSSL} dgst -sha256 -sign ${CPACK_QUARLO_SIGNING_KEY}
                          -out ${package}.sig ${staged}
                  RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    file(REMOVE ${package}.sig)
    message(FATAL_ERROR "could not sign ${package} with ${CPACK_QUARLO_SIGNING_KEY}: ${err}")
  endif()
  execute_process(COMMAND ${CPACK_QUARLO_OPENSSL} dgst -sha256 -verify ${CPACK_QUARLO_PUBLIC_KEY}
                          -signature ${package}.sig ${staged}
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    file(REMOVE ${package}.sig)
    message(FATAL_ERROR "the signature of ${package} does not hold under the programs' key "
                        "${CPACK_QUARLO_PUBLIC_KEY}: the signing and the public key are not one pair")
  endif()
  message(STATUS "signed ${package} -> ${package}.sig")
endforeach()
