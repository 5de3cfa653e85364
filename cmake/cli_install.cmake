# The command-line programs' parser, manual pages and bash completion.

# CLI11 (Debian libcli11-dev) is header-only: the programs need its headers
# to build, nothing at run time.
find_package(CLI11 CONFIG REQUIRED)
target_link_libraries(quillmark PRIVATE CLI11::CLI11)
target_link_libraries(quillmark-dict PRIVATE CLI11::CLI11)

install(FILES ${CMAKE_SOURCE_DIR}/man/quillmark.1 ${CMAKE_SOURCE_DIR}/man/quillmark-dict.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# One script serves both programs; bash-completion loads it by command name.
foreach(program IN ITEMS quillmark quillmark-dict)
  install(FILES ${CMAKE_SOURCE_DIR}/completion/quillmark.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program})
endforeach()
