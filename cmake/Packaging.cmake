# Install rules and packages. On Linux they follow Debian and the FHS: the tool in sbin/ (an
# administrator's tool, it needs root), its manual page in section 8, the report on its loop in
# bin/ (it only reads its input) with its page in section 1, the bash completion, and the README
# and the licence in share/doc/kestomandrel/. On Windows the ZIP holds at its top the exe, the
# report as a .py file for the py launcher, the README and the licence. Both also hold the
# report's page that the README links to, doc/loop-report.md with its picture, in doc/ beside the
# README: on Windows it is the report's only manual. (The README's other pages are about the
# checkout's scripts.) Installed and packaged programs are stripped.
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Kestomandrel developers")
set(CPACK_STRIP_FILES ON)
# The tool's UEFI builds, made with their own toolchain (presets efi-x64 and efi-aa64): the release
# packages carry them for the UEFI Shell, both in each, as one prepares a USB stick for any board.
set(KESTOMANDREL_EFI_APPLICATIONS "" CACHE STRING
    "The tool's UEFI builds (.efi files) to install beside it, a list; none by default")

if(WIN32)
    install(TARGETS kestomandrel RUNTIME DESTINATION .)
    install(PROGRAMS report/kestomandrel-loop-report DESTINATION .
        RENAME kestomandrel-loop-report.py)
    install(FILES README.md LICENSE DESTINATION .)
    install(FILES doc/loop-report.md doc/loop-report.png DESTINATION doc)
    install(FILES ${KESTOMANDREL_EFI_APPLICATIONS} DESTINATION uefi)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME Kestomandrel-${PROJECT_VERSION}-win64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
    include(CPack)
    return()
endif()

option(KESTOMANDREL_DEBIAN_PACKAGE
    "Install as a Debian package: Debian's copyright and changelog.gz in place of LICENSE" OFF)
set(KESTOMANDREL_MAINTAINER "The Kestomandrel developers <kestomandrel@example.org>" CACHE STRING
    "The Maintainer field of the Debian package")

include(GNUInstallDirs)
# Lower case, as Debian looks for it; CMAKE_INSTALL_DOCDIR would follow the project name's case.
set(kestomandrel_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/kestomandrel)
set(kestomandrel_generated ${CMAKE_CURRENT_BINARY_DIR}/install)

# gzip -9n: the best compression, with neither the file's name nor its time in the header, so that
# the same text always gives the same bytes.
find_program(KESTOMANDREL_GZIP gzip REQUIRED)
set(kestomandrel_compressed)
function(kestomandrel_compress source name)
    set(copy ${kestomandrel_generated}/${name})
    add_custom_command(OUTPUT ${copy}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
        COMMAND ${KESTOMANDREL_GZIP} -9nf ${copy}
        DEPENDS ${source}
        VERBATIM)
    set(kestomandrel_compressed ${kestomandrel_compressed} ${copy}.gz PARENT_SCOPE)
endfunction()

install(TARGETS kestomandrel RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
# Where Debian puts EFI binaries: a directory of the package's own under /usr/lib.
install(FILES ${KESTOMANDREL_EFI_APPLICATIONS} DESTINATION lib/kestomandrel)

kestomandrel_compress(${PROJECT_SOURCE_DIR}/doc/kestomandrel.8 kestomandrel.8)
install(FILES ${kestomandrel_generated}/kestomandrel.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

install(PROGRAMS report/kestomandrel-loop-report DESTINATION ${CMAKE_INSTALL_BINDIR})
kestomandrel_compress(${PROJECT_SOURCE_DIR}/doc/kestomandrel-loop-report.1
    kestomandrel-loop-report.1)
install(FILES ${kestomandrel_generated}/kestomandrel-loop-report.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The completion lists the variables from the directory this build reads them from.
configure_file(completion/kestomandrel.in ${kestomandrel_generated}/kestomandrel @ONLY)
install(FILES ${kestomandrel_generated}/kestomandrel
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

install(FILES README.md DESTINATION ${kestomandrel_doc_dir})
install(FILES doc/loop-report.md doc/loop-report.png DESTINATION ${kestomandrel_doc_dir}/doc)
if(KESTOMANDREL_DEBIAN_PACKAGE)
    # Debian's own files: the licence as a machine-readable copyright file, and the changelog.
    file(READ LICENSE license)
    string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" holder "${license}")
    set(KESTOMANDREL_COPYRIGHT ${CMAKE_MATCH_1})
    string(FIND "${license}" "Permission is hereby granted" start)
    string(SUBSTRING "${license}" ${start} -1 text)
    string(STRIP "${text}" text)
    string(REPLACE "\n\n" "\n.\n" text "${text}")
    string(REPLACE "\n" "\n " text "${text}")
    set(KESTOMANDREL_LICENSE_TEXT " ${text}")
    configure_file(packaging/copyright.in ${kestomandrel_generated}/copyright @ONLY)

    file(STRINGS packaging/changelog changelog_top LIMIT_COUNT 1)
    if(NOT changelog_top MATCHES "^kestomandrel \\(${PROJECT_VERSION}\\) ")
        message(FATAL_ERROR "packaging/changelog: the first entry must be version ${PROJECT_VERSION}")
    endif()
    kestomandrel_compress(${PROJECT_SOURCE_DIR}/packaging/changelog changelog)
    install(FILES ${kestomandrel_generated}/copyright ${kestomandrel_generated}/changelog.gz
        DESTINATION ${kestomandrel_doc_dir})
else()
    install(FILES LICENSE DESTINATION ${kestomandrel_doc_dir})
endif()

add_custom_target(kestomandrel_compressed ALL DEPENDS ${kestomandrel_compressed})

set(CPACK_PACKAGE_NAME kestomandrel)
if(KESTOMANDREL_DEBIAN_PACKAGE)
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION admin)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KESTOMANDREL_MAINTAINER})
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "read, write and delete UEFI variables")
    # Lines of at most 80 characters, as dpkg shows them.
    string(CONCAT CPACK_PACKAGE_DESCRIPTION
        "Kestomandrel is a small console tool for firmware validation engineers. It\n"
        "reads, writes and deletes UEFI variables through efivarfs, printing a\n"
        "variable's length and a dump of its bytes, and it can run an endless\n"
        "write-read loop on one variable to exercise the firmware's variable store.\n"
        "Its command line, output and exit codes are those of its Windows build, so\n"
        "scripts and logs carry over from one system to the other.\n"
        ".\n"
        "kestomandrel-loop-report reads the loop's output as it runs and reports\n"
        "whether every iteration read back its counter, the intervals between\n"
        "iterations and their stalls, and how the loop ended, as text, CSV, JSON\n"
        "and a plot (with python3-matplotlib).")
    # The report is a Python program; only its plot needs matplotlib.
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS python3-matplotlib)
    # A cross build cannot ask dpkg for its architecture.
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
    elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
        set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
    endif()
    # The Depends line comes from the built program when cpack runs (cmake/DebianDepends.cmake).
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/DebianDepends.cmake)
    set(CPACK_KESTOMANDREL_READELF ${CMAKE_READELF})
    set(CPACK_KESTOMANDREL_PROGRAM ${CMAKE_CURRENT_BINARY_DIR}/kestomandrel)
else()
    # The archive holds the install tree under one directory named like the archive.
    set(CPACK_GENERATOR TGZ)
    set(CPACK_PACKAGE_FILE_NAME kestomandrel-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
include(CPack)
