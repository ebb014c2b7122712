# A Linux file that loads on any Linux since 2014 (-DDEKO_PORTABLE=ON, scripts/portable.sh): it
# needs at most glibc 2.17 (the oldest manylinux policy in use, CentOS 7's) and no system
# libstdc++, whatever glibc and GCC build it.
#   - The C++ library is linked in (-static-libstdc++), its symbols kept out of the file's dynamic
#     symbol table (--exclude-libs) and the file exporting the module's entry alone (the version
#     script): a host's PySide2 uses the system's libstdc++ in the same process, and nothing of the
#     module's may stand in for it. The unwinder stays the system's libgcc_s, which every Linux has
#     (glibc itself loads it to end threads), so that a thread's forced unwind and the module's
#     exceptions go through one unwinder.
#   - Each glibc function that resolves to a version above 2.17 goes to src/portable/glibc_2_17.cpp
#     (ld --wrap), which calls its oldest version or does without it; libpthread.so.0 is named among
#     the file's needs, as the pthread functions live there before glibc 2.34.
# scripts/checks.py checks the result: no GLIBC_ version above 2.17, no GLIBCXX_ or CXXABI_.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64"
   OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  message(FATAL_ERROR " dekoconnection: DEKO_PORTABLE builds the x86-64 Linux file with GCC (here ${CMAKE_SYSTEM_NAME} ${CMAKE_SYSTEM_PROCESSOR}, ${CMAKE_CXX_COMPILER_ID})")
endif()
target_sources(dekoconnection PRIVATE src/portable/glibc_2_17.cpp)
set(deko_wrapped pthread_getattr_np pthread_attr_getstack pthread_once pthread_key_create pthread_key_delete
    pthread_getspecific pthread_setspecific pthread_cond_clockwait getentropy arc4random)
foreach(function IN LISTS deko_wrapped)
  target_link_options(dekoconnection PRIVATE -Wl,--wrap=${function})
endforeach()
target_link_options(dekoconnection PRIVATE -static-libstdc++ -Wl,--exclude-libs,ALL
                    -Wl,--version-script=${CMAKE_SOURCE_DIR}/src/portable/exports.map)
target_link_libraries(dekoconnection PRIVATE -Wl,--push-state,--no-as-needed -l:libpthread.so.0 -Wl,--pop-state)
set_property(TARGET dekoconnection APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/src/portable/exports.map)
