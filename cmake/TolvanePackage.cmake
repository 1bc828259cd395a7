# The Debian package tolvane-ftp: the command-line tools' install rules, the
# manual pages, the AppStream metadata, the files Debian wants in
# /usr/share/doc, and CPack's DEB settings. The program, its desktop entry and
# its icons are installed by TolvaneDesktop.cmake.
#
# `cpack -G DEB` in a build folder makes tolvane-ftp_VERSION_ARCH.deb from
# what that folder built; scripts/package makes a Release build for it, checks
# the result and tries installing and removing it.

include(GNUInstallDirs)

set(TOLVANE_PACKAGE_NAME tolvane-ftp)
set(TOLVANE_APPSTREAM_ID org.tolvane.ftp)
set(TOLVANE_PACKAGE_DATA ${PROJECT_SOURCE_DIR}/data)
set(TOLVANE_PACKAGE_OUT ${PROJECT_BINARY_DIR}/package-files)
set(TOLVANE_METAINFO ${TOLVANE_PACKAGE_DATA}/${TOLVANE_APPSTREAM_ID}.metainfo.xml)
# Debian's own convention for who builds a package (DEBFULLNAME, DEBEMAIL)
# comes first; the default is a placeholder that no mail can reach.
if(DEFINED ENV{DEBFULLNAME} AND DEFINED ENV{DEBEMAIL})
  set(_tolvane_maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  set(_tolvane_maintainer "Tolvane FTP developers <maintainers@tolvane-ftp.invalid>")
endif()
set(TOLVANE_PACKAGE_MAINTAINER "${_tolvane_maintainer}" CACHE STRING
    "Maintainer field of the Debian package (Name <address>)")

find_program(TOLVANE_GZIP gzip REQUIRED)

# The release list of the AppStream metadata is the one place that says when
# a version came out: the changelog and the manual pages' dates follow it.
file(READ ${TOLVANE_METAINFO} _tolvane_metainfo)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TOLVANE_METAINFO})
string(FIND "${_tolvane_metainfo}" "<releases>" _tolvane_at)
if(_tolvane_at LESS 0)
  message(FATAL_ERROR "${TOLVANE_METAINFO} has no <releases>")
endif()
string(SUBSTRING "${_tolvane_metainfo}" ${_tolvane_at} -1 _tolvane_releases)
string(REPLACE "</release>" ";" _tolvane_releases "${_tolvane_releases}")
set(TOLVANE_RELEASE_DATE "")
set(_tolvane_changelog "")
foreach(_release IN LISTS _tolvane_releases)
  if(NOT _release MATCHES "<release version=\"([^\"]+)\" date=\"([^\"]+)\"")
    continue()
  endif()
  set(_version ${CMAKE_MATCH_1})
  set(_date ${CMAKE_MATCH_2})
  if(NOT TOLVANE_RELEASE_DATE)
    set(TOLVANE_RELEASE_DATE ${_date})
    if(NOT _version STREQUAL PROJECT_VERSION)
      message(WARNING "The newest release in ${TOLVANE_METAINFO} is ${_version}, the project is "
                      "${PROJECT_VERSION}: add a <release> for it (the package check fails until then)")
    endif()
  endif()
  execute_process(COMMAND date -u -R -d "${_date}" OUTPUT_VARIABLE _stamp
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "<li>[^<]*</li>" _items "${_release}")
  string(APPEND _tolvane_changelog "${TOLVANE_PACKAGE_NAME} (${_version}) unstable; urgency=medium\n\n")
  if(NOT _items)
    set(_items "<li>Release ${_version}.</li>")
  endif()
  foreach(_item IN LISTS _items)
    string(REGEX REPLACE "</?li>" "" _item "${_item}")
    string(REGEX REPLACE "[ \t\r\n]+" " " _item "${_item}")
    string(STRIP "${_item}" _item)
    string(APPEND _tolvane_changelog "  * ${_item}\n")
  endforeach()
  string(APPEND _tolvane_changelog "\n -- ${TOLVANE_PACKAGE_MAINTAINER}  ${_stamp}\n\n")
endforeach()
if(NOT TOLVANE_RELEASE_DATE)
  message(FATAL_ERROR "${TOLVANE_METAINFO} lists no <release version=... date=...>")
endif()
string(STRIP "${_tolvane_changelog}" _tolvane_changelog)
file(CONFIGURE OUTPUT ${TOLVANE_PACKAGE_OUT}/changelog CONTENT "${_tolvane_changelog}\n" @ONLY)

# Debian wants manual pages and changelogs compressed with gzip -9; -n keeps
# the time stamp out, so the same sources give the same bytes.
set(_tolvane_gz_files)
function(tolvane_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND ${TOLVANE_GZIP} -9nc ${source} > ${output}
    DEPENDS ${source}
    VERBATIM)
  set(_tolvane_gz_files ${_tolvane_gz_files} ${output} PARENT_SCOPE)
endfunction()

set(TOLVANE_MAN_PAGES tolvane-ftp tolvane-cli tolvane-listing)
foreach(page IN LISTS TOLVANE_MAN_PAGES)
  configure_file(${TOLVANE_PACKAGE_DATA}/man/${page}.1.in ${TOLVANE_PACKAGE_OUT}/man/${page}.1 @ONLY)
  tolvane_gzip(${TOLVANE_PACKAGE_OUT}/man/${page}.1 ${TOLVANE_PACKAGE_OUT}/man/${page}.1.gz)
  install(FILES ${TOLVANE_PACKAGE_OUT}/man/${page}.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT man)
endforeach()
tolvane_gzip(${TOLVANE_PACKAGE_OUT}/changelog ${TOLVANE_PACKAGE_OUT}/changelog.gz)
add_custom_target(tolvane_package_files ALL DEPENDS ${_tolvane_gz_files})

foreach(tool tolvane-cli tolvane-listing)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()
install(FILES ${TOLVANE_METAINFO} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT desktop)
install(FILES ${TOLVANE_PACKAGE_DATA}/package/copyright ${TOLVANE_PACKAGE_OUT}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${TOLVANE_PACKAGE_NAME} COMPONENT doc)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${TOLVANE_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop FTP uploader with a small remote file manager")
set(CPACK_PACKAGE_DESCRIPTION [=[
Tolvane FTP connects to an FTP server with a host, a user name and a
password, shows the server's folders in a tree beside a file list and
uploads a local file into the current folder; it also downloads, deletes
and renames remote files and changes their permissions. It speaks plain
FTP and FTP over TLS (AUTH TLS), in passive or active mode, directly or
through a SOCKS 4, 4A or 5 proxy.

The package also holds tolvane-cli, the same FTP engine without the
window (one operation per run, for scripts), and tolvane-listing, which
parses FTP directory listings.]=])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TOLVANE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# FTP over TLS checks server certificates against the system's trust store.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS ca-certificates)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
