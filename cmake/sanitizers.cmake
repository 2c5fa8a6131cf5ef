# Included right after project() by the "asan" preset (CMAKE_PROJECT_INCLUDE):
# every target is built with AddressSanitizer and UndefinedBehaviorSanitizer.
# The sanitizer runtime is the shared one, so that shared libraries linked
# with --no-undefined (the bridge) resolve its symbols; binaries find it
# through their run path.
set(VRXCHDET_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
add_compile_options(${VRXCHDET_SANITIZE})
execute_process(COMMAND ${CMAKE_CXX_COMPILER} --print-runtime-dir
  OUTPUT_VARIABLE VRXCHDET_SANITIZER_RUNTIME_DIR OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
add_link_options(${VRXCHDET_SANITIZE} -shared-libasan LINKER:-rpath,${VRXCHDET_SANITIZER_RUNTIME_DIR})
