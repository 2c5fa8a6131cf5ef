# Sets the run path of the library LIBRARY to exactly $ORIGIN: a copy taken
# from the build tree for shipping (the connector jar) must not keep the build
# tree's folders that CMake adds to it, nor their trailing empty entry, which
# the dynamic linker reads as the current folder.
# Run as: cmake -DLIBRARY=path -P origin_run_path.cmake
file(RPATH_SET FILE "${LIBRARY}" NEW_RPATH "$ORIGIN")
