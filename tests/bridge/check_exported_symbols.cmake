# Fails unless the library's dynamic symbol table defines exactly the JNI
# entry points. Run as: cmake -DLIBRARY=path -P check_exported_symbols.cmake
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(names "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
set(expected
  Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_getModifiedTesra
  Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_initTesra
  Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_termTesra)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported: ${names}\nexpected: ${expected}")
endif()
message(STATUS "exactly the three JNI symbols are exported")
