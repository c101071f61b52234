# cmake --install: the library (lib/ on Linux, bin/ on Windows) with its
# debug file when the build made one, the document for mod developers, and
# for mods the Java sources of the extractor (every file of java/natives) and of the class the library
# implements. scripts/release.sh packs its archives from this tree.
include(GNUInstallDirs)
install(TARGETS tarnwick
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(WIN32)
  set(_tarnwick_library_dir ${CMAKE_INSTALL_BINDIR})
else()
  set(_tarnwick_library_dir ${CMAKE_INSTALL_LIBDIR})
endif()
install(FILES $<TARGET_FILE:tarnwick>.debug DESTINATION ${_tarnwick_library_dir} OPTIONAL)
install(FILES ${PROJECT_SOURCE_DIR}/docs/mod-developers.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/java/natives/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tarnwick/java FILES_MATCHING PATTERN "*.java")
install(FILES
  ${PROJECT_SOURCE_DIR}/java/example/vardel/tarnwick/api/client/online/TarnwickServerConnectionHelper.java
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tarnwick/java/vardel/tarnwick/api/client/online)
