# Windows files, for CPython 3.7 on Windows x64 (dekoconnection.cp37-win_amd64.pyd) and x86
# (dekoconnection.cp37-win32.pyd), included by CMakeLists.txt in one of two ways.
#
# Cross-built with MinGW-w64 (the way the release files are made, scripts/windows.sh): against
# CPython 3.7's own headers (DEKO_PYTHON_HEADERS: an installed 3.7's include directory, whatever
# system it was installed on) with windows/pyconfig.h in place of theirs; linked to python37.dll
# through an import library that dlltool makes from windows/python37.def (the interpreter's
# functions and data the module uses, the data marked DATA); the C++ runtime and winpthread linked
# in, so that the file needs python37.dll and Windows' own DLLs alone. The C++ unit tests are built
# the same way, with GoogleTest from its source (DEKO_GTEST_SOURCE), and run under Wine.
#
# Built natively with MSVC (not run by this project: no Windows machine is at hand), from a Visual
# Studio developer prompt with the host's own Windows CPython, which has PySide2:
#   cmake -S . -B build-msvc -A x64 -DPYTHON_EXECUTABLE=C:/Python37/python.exe
#   cmake --build build-msvc --config Release
# The interpreter gives its include directory (with its own pyconfig.h) and extension suffix as on
# Linux, and its libs/python37.lib is linked. -A Win32 with a 32-bit interpreter builds for x86.

if(CMAKE_CROSSCOMPILING)
  set(DEKO_PYTHON_HEADERS "" CACHE PATH "A CPython 3.7's include directory (its Python.h); its pyconfig.h is not used")
  if(NOT EXISTS "${DEKO_PYTHON_HEADERS}/Python.h" OR NOT EXISTS "${DEKO_PYTHON_HEADERS}/patchlevel.h")
    message(FATAL_ERROR " dekoconnection: the Windows files are built against CPython 3.7's headers: give -DDEKO_PYTHON_HEADERS=<a CPython 3.7's include directory> (${DEKO_PYTHON_HEADERS} has no Python.h)")
  endif()
  file(STRINGS "${DEKO_PYTHON_HEADERS}/patchlevel.h" deko_python_version REGEX "^#define PY_(MAJOR|MINOR)_VERSION")
  if(NOT deko_python_version MATCHES "PY_MAJOR_VERSION[ \t]+3;.*PY_MINOR_VERSION[ \t]+7$")
    message(FATAL_ERROR " dekoconnection: ${DEKO_PYTHON_HEADERS} holds no CPython 3.7 headers (${deko_python_version})")
  endif()
  # The headers as installed, with the project's pyconfig.h in place of the one they came with
  # (Python.h includes it from its own folder first).
  set(DEKO_PYTHON_INCLUDE ${CMAKE_BINARY_DIR}/python37-include)
  file(COPY ${DEKO_PYTHON_HEADERS}/ DESTINATION ${DEKO_PYTHON_INCLUDE} PATTERN pyconfig.h EXCLUDE)
  configure_file(${CMAKE_SOURCE_DIR}/windows/pyconfig.h ${DEKO_PYTHON_INCLUDE}/pyconfig.h COPYONLY)

  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(DEKO_EXTENSION_SUFFIX .cp37-win_amd64.pyd)
    set(deko_dlltool_machine i386:x86-64)
  else()
    set(DEKO_EXTENSION_SUFFIX .cp37-win32.pyd)
    set(deko_dlltool_machine i386)
  endif()
  if(NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR " dekoconnection: no dlltool: cross-build with -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake (or -i686)")
  endif()
  set(deko_import_library ${CMAKE_BINARY_DIR}/libpython37.dll.a)
  add_custom_command(OUTPUT ${deko_import_library}
    COMMAND ${CMAKE_DLLTOOL} --machine ${deko_dlltool_machine} --dllname python37.dll
            --input-def ${CMAKE_SOURCE_DIR}/windows/python37.def --output-lib ${deko_import_library}
    DEPENDS ${CMAKE_SOURCE_DIR}/windows/python37.def
    COMMENT "Import library of python37.dll")
  add_custom_target(python37_import DEPENDS ${deko_import_library})
  add_library(python_import INTERFACE)
  target_link_libraries(python_import INTERFACE ${deko_import_library})
  add_dependencies(python_import python37_import)
  # The C++ runtime (libstdc++, libgcc) and winpthread linked in: the file needs no MinGW DLL.
  # A release file carries no debug information (no Windows debugger reads MinGW's) and no link
  # time, so that a build of the same sources gives the same file.
  set(DEKO_WINDOWS_LINK -static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp $<$<CONFIG:Release>:-s>)
  set(DEKO_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's source, built with the cross compiler")
else()
  execute_process(COMMAND "${PYTHON_EXECUTABLE}" -c
                  "import os, sys; print(os.path.join(sys.base_prefix, 'libs', 'python%d%d.lib' % sys.version_info[:2]))"
                  OUTPUT_VARIABLE deko_python_lib OUTPUT_STRIP_TRAILING_WHITESPACE)
  add_library(python_import INTERFACE)
  target_link_libraries(python_import INTERFACE "${deko_python_lib}")
endif()
