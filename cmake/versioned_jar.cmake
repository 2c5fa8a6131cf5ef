# add_versioned_jar(TARGET OUTPUT_NAME TITLE add_jar-arguments...): a jar named
# OUTPUT_NAME-<project version>.jar (with a plain OUTPUT_NAME.jar link beside
# it) whose manifest carries the project's version, installed under share/java.
function(add_versioned_jar target output_name title)
  set(VRXCHDET_JAR_TITLE "${title}")
  set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/jar.manifest.in ${manifest} @ONLY)
  add_jar(${target} ${ARGN}
    OUTPUT_NAME ${output_name}
    VERSION ${PROJECT_VERSION}
    MANIFEST ${manifest})
  install_jar(${target} DESTINATION share/java)
endfunction()
