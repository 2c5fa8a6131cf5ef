# The jars a user installs, each a Maven artefact of the group com.kestrum.orlo
# at the project's version: the jar, its -sources.jar and -javadoc.jar and its
# pom, under share/maven-repo/com/kestrum/orlo/ARTIFACT/VERSION/ (a repository
# Maven reads from disk) and the jar again under share/java/ as
# NAME-VERSION.jar with a plain NAME.jar link. Every jar carries the LICENSE
# in META-INF/ and a manifest with its version and Automatic-Module-Name.

set(VRXCHDET_MAVEN_GROUP com.kestrum.orlo)
set(VRXCHDET_MAVEN_PATH share/maven-repo/com/kestrum/orlo)
set(VRXCHDET_LICENSE_DIR ${CMAKE_BINARY_DIR}/java-license)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${VRXCHDET_LICENSE_DIR}/META-INF/LICENSE COPYONLY)

# add_versioned_jar(TARGET OUTPUT_NAME TITLE MODULE_NAME [CLASS_PATH TEXT]
#   add_jar-arguments...): the class jar OUTPUT_NAME-VERSION.jar.
function(add_versioned_jar target output_name title module_name)
  cmake_parse_arguments(PARSE_ARGV 4 arg "" "CLASS_PATH" "")
  set(VRXCHDET_JAR_TITLE "${title}")
  set(VRXCHDET_MODULE_NAME "${module_name}")
  set(VRXCHDET_MANIFEST_EXTRA "")
  if(arg_CLASS_PATH)
    set(VRXCHDET_MANIFEST_EXTRA "Class-Path: ${arg_CLASS_PATH}\n")
  endif()
  set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/jar.manifest.in ${manifest} @ONLY)
  add_jar(${target} ${arg_UNPARSED_ARGUMENTS}
    RESOURCES NAMESPACE META-INF ${VRXCHDET_LICENSE_DIR}/META-INF/LICENSE
    OUTPUT_NAME ${output_name}
    VERSION ${PROJECT_VERSION}
    MANIFEST ${manifest})
endfunction()

# add_maven_artefact(TARGET ARTIFACT_ID JAR SHARE_JAVA_NAME
#   SOURCES files... [CLASSPATH jars...] [DEPENDS targets...] [RELEASE N]):
# the sources and javadoc jars and the pom (ARTIFACT_ID.pom.in beside the
# calling CMakeLists.txt) of the finished jar JAR, all installed.
function(add_maven_artefact target artifact_id jar share_java_name)
  cmake_parse_arguments(PARSE_ARGV 4 arg "" "RELEASE" "SOURCES;CLASSPATH;DEPENDS")
  set(base ${CMAKE_CURRENT_BINARY_DIR}/maven/${artifact_id}-${PROJECT_VERSION})
  set(javadoc_dir ${CMAKE_CURRENT_BINARY_DIR}/maven/${artifact_id}-javadoc)
  list(JOIN arg_CLASSPATH ":" classpath)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/${artifact_id}.pom.in ${base}.pom @ONLY)
  add_custom_command(
    OUTPUT ${base}-sources.jar ${base}-javadoc.jar
    COMMAND ${Java_JAR_EXECUTABLE} --create --file ${base}-sources.jar
      -C ${CMAKE_CURRENT_SOURCE_DIR} ${arg_SOURCES} -C ${VRXCHDET_LICENSE_DIR} META-INF/LICENSE
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${javadoc_dir}
    COMMAND ${Java_JAVADOC_EXECUTABLE} -quiet -encoding UTF-8 --release ${arg_RELEASE} -d ${javadoc_dir}
      -cp "${classpath}" ${arg_SOURCES}
    COMMAND ${Java_JAR_EXECUTABLE} --create --file ${base}-javadoc.jar
      -C ${javadoc_dir} . -C ${VRXCHDET_LICENSE_DIR} META-INF/LICENSE
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
    DEPENDS ${arg_SOURCES} ${arg_DEPENDS} ${PROJECT_SOURCE_DIR}/LICENSE
    COMMENT "Sources and javadoc jars of ${artifact_id}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${base}-sources.jar ${base}-javadoc.jar ${jar})
  add_dependencies(${target} ${arg_DEPENDS})

  get_filename_component(jar_dir ${jar} DIRECTORY)
  install(FILES ${jar} ${jar_dir}/${share_java_name}.jar DESTINATION share/java)
  set(repo ${VRXCHDET_MAVEN_PATH}/${artifact_id}/${PROJECT_VERSION})
  install(FILES ${jar} DESTINATION ${repo} RENAME ${artifact_id}-${PROJECT_VERSION}.jar)
  install(FILES ${base}.pom ${base}-sources.jar ${base}-javadoc.jar DESTINATION ${repo})
endfunction()
