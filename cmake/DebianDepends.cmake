# Read by cpack before it makes the .deb: the package's Depends line, taken from the program itself.
# The program links libstdc++ and libgcc statically, so the C library is the only shared library it
# loads, and the oldest C library it can run with is the newest GLIBC_ symbol version it references.
# This works the same for a cross build, where dpkg-shlibdeps cannot look up the target's libc.
# The report on the loop (bin/kestomandrel-loop-report) runs with Debian's python3.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()

execute_process(
    COMMAND "${CPACK_KESTOMANDREL_READELF}" --dynamic --version-info --wide
        "${CPACK_KESTOMANDREL_PROGRAM}"
    OUTPUT_VARIABLE elf
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "readelf could not read ${CPACK_KESTOMANDREL_PROGRAM}")
endif()

# libc.so.6 and the dynamic loader both come with Debian's libc6; any other library would need a
# Depends entry of its own.
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" libraries "${elf}")
foreach(library IN LISTS libraries)
    if(NOT library MATCHES "\\[(libc\\.so\\.6|ld-linux-[-a-z0-9_]+\\.so\\.[0-9]+)\\]$")
        message(FATAL_ERROR "${CPACK_KESTOMANDREL_PROGRAM} needs more than the C library: ${library}")
    endif()
endforeach()

string(REGEX MATCHALL "Name: GLIBC_[0-9.]+" versions "${elf}")
set(floor "")
foreach(version IN LISTS versions)
    string(REPLACE "Name: GLIBC_" "" version "${version}")
    if(floor STREQUAL "" OR version VERSION_GREATER floor)
        set(floor ${version})
    endif()
endforeach()
if(floor STREQUAL "")
    message(FATAL_ERROR "${CPACK_KESTOMANDREL_PROGRAM} references no GLIBC_ symbol version")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${floor}), python3")
