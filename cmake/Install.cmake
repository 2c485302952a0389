# Install rules and packaging.
# `make install`, `make package` and the install tests build first themselves, so installing
# never rebuilds the whole tree (and never races a build in progress).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
#
# Layout under the prefix:
#   libexec/cleftone/cleftone, cleftone-strip   the programs
#   libexec/cleftone/mp3val                     link to the system's mp3val
#   bin/cleftone, bin/cleftone-strip            launcher links into libexec/cleftone
# The programs look for mp3val in the directory of their own executable, resolved through
# /proc/self/exe, so a launcher link on PATH still finds the private link. Putting an mp3val
# link into bin/ instead would shadow (or clash with) the system's own /usr/bin/mp3val.
include(GNUInstallDirs)

set(CLEFTONE_PROGRAM_DIR "${CMAKE_INSTALL_LIBEXECDIR}/cleftone"
    CACHE STRING "Private program directory, relative to the install prefix")
set(CLEFTONE_SYSTEM_MP3VAL "/usr/bin/mp3val"
    CACHE FILEPATH "The system's mp3val as found on the machine Cleftone is installed on")
set(CLEFTONE_RELEASE_DATE "2026-12-06"
    CACHE STRING "Release date of PROJECT_VERSION (YYYY-MM-DD), for the AppStream metadata")

set(_cleftone_programs cleftone-strip)
if(TARGET cleftone)
    list(APPEND _cleftone_programs cleftone)
endif()

install(TARGETS ${_cleftone_programs} RUNTIME DESTINATION ${CLEFTONE_PROGRAM_DIR})

# The links are made at install time, against the prefix given then (cmake --install --prefix,
# CPack's /usr) and below DESTDIR. Links inside the prefix are relative, so that a staged or
# relocated tree stays correct; mp3val is linked relatively only when it lives inside the
# prefix too (a /usr package), otherwise by its absolute path.
set(_cleftone_links_script ${CMAKE_CURRENT_BINARY_DIR}/cleftone_install_links.cmake)
file(CONFIGURE OUTPUT ${_cleftone_links_script} @ONLY CONTENT [==[
set(_programs "@_cleftone_programs@")
set(_mp3val "@CLEFTONE_SYSTEM_MP3VAL@")
foreach(_dir bindir progdir)
    set(_value "@CMAKE_INSTALL_BINDIR@")
    if(_dir STREQUAL "progdir")
        set(_value "@CLEFTONE_PROGRAM_DIR@")
    endif()
    if(NOT IS_ABSOLUTE "${_value}")
        set(_value "${CMAKE_INSTALL_PREFIX}/${_value}")
    endif()
    set(_${_dir} "${_value}")
endforeach()

function(_cleftone_link target link)
    set(_staged "$ENV{DESTDIR}${link}")
    message(STATUS "Installing: ${_staged} -> ${target}")
    get_filename_component(_parent "${_staged}" DIRECTORY)
    file(MAKE_DIRECTORY "${_parent}")
    file(REMOVE "${_staged}")
    file(CREATE_LINK "${target}" "${_staged}" SYMBOLIC)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${link}")
    set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()

foreach(_program IN LISTS _programs)
    file(RELATIVE_PATH _target "${_bindir}" "${_progdir}/${_program}")
    _cleftone_link("${_target}" "${_bindir}/${_program}")
endforeach()

set(_target "${_mp3val}")
string(FIND "${_mp3val}" "${CMAKE_INSTALL_PREFIX}/" _inside)
if(_inside EQUAL 0)
    file(RELATIVE_PATH _target "${_progdir}" "${_mp3val}")
endif()
_cleftone_link("${_target}" "${_progdir}/mp3val")
]==])
install(SCRIPT ${_cleftone_links_script})

# Desktop integration, only with the window application to launch.
set(_cleftone_resources ${PROJECT_SOURCE_DIR}/resources)
set(_cleftone_desktop_file ${CMAKE_CURRENT_BINARY_DIR}/${CLEFTONE_BUNDLE_IDENTIFIER}.desktop)
set(_cleftone_metainfo_file
    ${CMAKE_CURRENT_BINARY_DIR}/${CLEFTONE_BUNDLE_IDENTIFIER}.metainfo.xml)

# The shared-mime-info types of the writable extensions. Left out: .mp4, .3gp and .3g2, whose
# types are video/* (offering Cleftone for every video would mislead: it keeps only the
# audio), .mpeg (video/mpeg) and CAF, Wave64, RF64 and E-AC-3, which have no registered type.
set(CLEFTONE_DESKTOP_MIME_TYPES
    audio/x-aiff audio/x-aifc audio/x-wav audio/basic
    audio/mp4 audio/x-m4b audio/x-m4r audio/aac audio/ac3 audio/AMR audio/flac
    audio/mpeg audio/mp2
    audio/ogg audio/x-vorbis+ogg audio/x-opus+ogg audio/x-flac+ogg audio/x-speex+ogg
    audio/x-speex
    audio/x-matroska video/x-matroska audio/webm video/webm
    audio/x-ms-wma application/vnd.ms-asf
    audio/x-ape audio/x-wavpack audio/x-musepack audio/x-tta
    audio/x-dsf audio/x-dff)
list(JOIN CLEFTONE_DESKTOP_MIME_TYPES ";" CLEFTONE_DESKTOP_MIME_TYPES)
string(APPEND CLEFTONE_DESKTOP_MIME_TYPES ";")
configure_file(${_cleftone_resources}/org.cleftone.Cleftone.desktop.in ${_cleftone_desktop_file}
               @ONLY)
configure_file(${_cleftone_resources}/org.cleftone.Cleftone.metainfo.xml.in
               ${_cleftone_metainfo_file} @ONLY)

if(TARGET cleftone)
    install(FILES ${_cleftone_desktop_file} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${_cleftone_metainfo_file} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    install(FILES ${_cleftone_resources}/icons/cleftone.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
            RENAME ${CLEFTONE_BUNDLE_IDENTIFIER}.svg)
endif()

# Manual pages and the shell completion, for the tool always and for the window with it.
# The pages are installed compressed as Debian wants them (gzip -9n: no name or time inside).
find_program(CLEFTONE_GZIP gzip REQUIRED)
mark_as_advanced(CLEFTONE_GZIP)
set(_cleftone_man_pages)
foreach(_program IN LISTS _cleftone_programs)
    set(_page ${CMAKE_CURRENT_BINARY_DIR}/man/${_program}.1)
    configure_file(${_cleftone_resources}/man/${_program}.1 ${_page} @ONLY)
    add_custom_command(OUTPUT ${_page}.gz
        COMMAND ${CLEFTONE_GZIP} -9nkf ${_page}
        DEPENDS ${_page} VERBATIM)
    list(APPEND _cleftone_man_pages ${_page}.gz)
endforeach()
add_custom_target(cleftone_man_pages ALL DEPENDS ${_cleftone_man_pages})
install(FILES ${_cleftone_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_cleftone_resources}/bash-completion/cleftone-strip
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${_cleftone_resources}/debian/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/cleftone)

# Debian package: cpack -G DEB in the build directory.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cleftone)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Cleftone developers")
set(CPACK_PACKAGE_CONTACT "Cleftone <${CLEFTONE_SUPPORT_EMAIL}>")
set(CPACK_PACKAGE_HOMEPAGE_URL ${CLEFTONE_WEB_PAGE})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "strips metadata from audio files without re-encoding")
# Control-file lines stay short; CPack indents each line of the long description.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Cleftone removes ID3 tags, info chunks, extra chunks and cover art from audio"
    "files. Every audio packet is copied unchanged into a new file of the same"
    "container type, which then replaces the original in one step or goes into a"
    "folder of the user's choice."
    "."
    "It writes MP3, MP2, ADTS AAC, AC-3, E-AC-3, AMR, FLAC, M4A, M4B, audio-only"
    "MP4, 3GP and 3G2, WAVE, RF64, Wave64, AIFF, AIFC, CAF and NeXT/Sun audio."
    "The package holds the window application and the command-line tool"
    "cleftone-strip.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Cleftone <${CLEFTONE_SUPPORT_EMAIL}>")
# mp3val is run, not linked, so dpkg-shlibdeps cannot see it; nor the SVG icon engine, a Qt
# plugin without which the window's themed icon stays blank.
set(_cleftone_run_depends "mp3val")
if(TARGET cleftone)
    string(APPEND _cleftone_run_depends ", libqt6svg6")
endif()
find_program(CLEFTONE_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(CLEFTONE_FILE_PROGRAM file)
mark_as_advanced(CLEFTONE_DPKG_SHLIBDEPS CLEFTONE_FILE_PROGRAM)
if(CLEFTONE_DPKG_SHLIBDEPS AND CLEFTONE_FILE_PROGRAM)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_cleftone_run_depends}")
else()
    # Without dpkg-dev: the Debian 12 runtime packages by name.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_cleftone_run_depends}, libqt6core6, libqt6network6, \
libavformat59, libavcodec59, libavutil57, libogg0")
    if(TARGET cleftone)
        string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libqt6gui6, libqt6widgets6")
    endif()
endif()
# The Debian changelog and lintian's notes go into the package only, not into `make install`'s
# tree.
execute_process(COMMAND date -u -R -d "${CLEFTONE_RELEASE_DATE} 12:00"
                OUTPUT_VARIABLE CLEFTONE_RELEASE_DATE_RFC2822 OUTPUT_STRIP_TRAILING_WHITESPACE)
configure_file(${_cleftone_resources}/debian/changelog.in
               ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian.gz
    COMMAND ${CLEFTONE_GZIP} -9nkf ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian VERBATIM)
add_custom_target(cleftone_debian_changelog ALL
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/cleftone COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${_cleftone_resources}/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME cleftone
        COMPONENT debian EXCLUDE_FROM_ALL)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/" "${CMAKE_BINARY_DIR};${PROJECT_NAME};debian;/")
set(CPACK_SOURCE_GENERATOR TXZ)
# Written into CPackSourceConfig.cmake and read again, hence the doubled escape.
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
include(CPack)
