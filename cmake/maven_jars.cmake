# The jars Maven built under SOURCE (java/), copied into DESTINATION under the
# names of share/java: NAME-VERSION.jar and a plain NAME.jar link; and the
# Kafka Connect plugin folder, copied into DESTINATION/kafka-plugins/.
# Run as: cmake -DSOURCE=dir -DDESTINATION=dir -DVERSION=v -P maven_jars.cmake
foreach(name connector change-feed change-watcher)
  set(jar ${SOURCE}/vrxchdet-${name}/target/vrxchdet-${name}-${VERSION}.jar)
  if(NOT EXISTS ${jar})
    message(FATAL_ERROR "Maven built no ${jar}")
  endif()
  file(COPY_FILE ${jar} ${DESTINATION}/${name}-${VERSION}.jar)
  file(CREATE_LINK ${name}-${VERSION}.jar ${DESTINATION}/${name}.jar SYMBOLIC)
endforeach()

set(plugin ${SOURCE}/vrxchdet-kafka-connect/target/plugin/vrxchdet-kafka-connect)
if(NOT EXISTS ${plugin}/vrxchdet-kafka-connect-${VERSION}.jar)
  message(FATAL_ERROR "Maven built no Kafka Connect plugin in ${plugin}")
endif()
file(REMOVE_RECURSE ${DESTINATION}/kafka-plugins)
file(COPY ${plugin} DESTINATION ${DESTINATION}/kafka-plugins)
