# JNI headers for the Windows cross-build. FindJNI looks for the JNI libraries
# of the target platform, which a Linux JDK does not have; the bridge needs
# only the headers: jni.h of the build machine's JDK, which is the same on
# every platform, and our own jni_md.h for 32-bit or 64-bit Windows.
get_filename_component(_javac_path "${Java_JAVAC_EXECUTABLE}" REALPATH)
get_filename_component(_jdk_home "${_javac_path}/../.." ABSOLUTE)
find_path(VRXCHDET_JDK_INCLUDE_DIR jni.h
  PATHS "${_jdk_home}/include"
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT VRXCHDET_JDK_INCLUDE_DIR)
  message(FATAL_ERROR "jni.h not found under ${_jdk_home}/include; set VRXCHDET_JDK_INCLUDE_DIR")
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_jni_md_dir "${PROJECT_SOURCE_DIR}/jni/win64")
else()
  set(_jni_md_dir "${PROJECT_SOURCE_DIR}/jni/win32")
endif()
set(JNI_INCLUDE_DIRS "${VRXCHDET_JDK_INCLUDE_DIR}" "${_jni_md_dir}")
