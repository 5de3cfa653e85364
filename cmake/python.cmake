# The Python package "quillmark" (python/quillmark), a ctypes binding of the
# C entry points, installed for Debian's system Python. The package finds the
# library it was installed with through the generated _install.py.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(QM_PYTHON_DEFAULT_DIR "lib/python3/dist-packages")
else()
  # Debian's python3 searches <prefix>/lib/python3.X/dist-packages for /usr/local.
  find_program(QM_SYSTEM_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
  if(NOT QM_SYSTEM_PYTHON)
    find_program(QM_SYSTEM_PYTHON NAMES python3)
  endif()
  set(QM_PYTHON_DEFAULT_DIR "lib/python3/dist-packages")
  if(QM_SYSTEM_PYTHON)
    execute_process(COMMAND ${QM_SYSTEM_PYTHON} -c "import sys; print('%d.%d' % sys.version_info[:2])"
                    OUTPUT_VARIABLE qm_python_version OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(qm_python_version)
      set(QM_PYTHON_DEFAULT_DIR "lib/python${qm_python_version}/dist-packages")
    endif()
  endif()
endif()
set(QUILLMARK_PYTHON_DIR "${QM_PYTHON_DEFAULT_DIR}" CACHE STRING
  "Folder under the installation prefix for the Python package")

install(FILES ${CMAKE_SOURCE_DIR}/python/quillmark/__init__.py ${CMAKE_SOURCE_DIR}/python/quillmark/dask_scan.py
  DESTINATION ${QUILLMARK_PYTHON_DIR}/quillmark)
install(CODE "
  set(qm_lib \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libquillmark.so.${PROJECT_VERSION_MAJOR}\")
  file(WRITE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${QUILLMARK_PYTHON_DIR}/quillmark/_install.py\"
    \"# Written by cmake --install: the library this package was installed with.\\nLIBRARY = '\${qm_lib}'\\n\")
")
