# What an installed tree holds besides the programs, and the Debian package:
#   cmake --install build            (prefix /usr/local unless configured)
#   cpack --config build/CPackConfig.cmake -B <dir>     (kemd_<version>_<arch>.deb)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/yang/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kem/yang
        FILES_MATCHING PATTERN "*.yang")

set(KEM_PKG_DIR ${CMAKE_SOURCE_DIR}/packaging/deb)
set(KEM_VERSION 0.1.0)
set(KEM_OPERATOR_GROUP kem)

# A native package's changelog, compressed without a time stamp.
execute_process(COMMAND gzip -9nc ${KEM_PKG_DIR}/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/changelog.gz)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KEM_PKG_DIR}/changelog)
install(FILES ${KEM_PKG_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
              ${CMAKE_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kemd)

# Maintainer scripts name every unit that the programs' own rules installed.
get_property(KEM_UNITS GLOBAL PROPERTY KEM_UNITS)
list(JOIN KEM_UNITS " " KEM_UNITS)
foreach(script postinst prerm postrm)
  configure_file(${KEM_PKG_DIR}/${script}.in ${CMAKE_BINARY_DIR}/deb/${script} @ONLY)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kemd)
set(CPACK_PACKAGE_VERSION ${KEM_VERSION})
set(CPACK_PACKAGE_CONTACT "kemd maintainers <maintainers@users.noreply.c-seed-86aa8981.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "PIM Sparse-Mode multicast router for Linux hosts")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "kemd speaks PIM version 2 on the host's interfaces, per VPN (network
namespace). It comes with its companions: the configuration agent cdbd,
the route table manager rtmd and the operator's command line kemcli.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# adduser: postinst creates the operators' group.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/deb/postinst ${CMAKE_BINARY_DIR}/deb/prerm ${CMAKE_BINARY_DIR}/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Installed with DESTDIR under the prefix /usr whatever the tree's own prefix,
# so the units, written at install time, name /usr/sbin.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
