# Install rules shared by the programs: each program's own CMakeLists.txt adds
# itself with one line, kem_install(<target> SBIN) for a daemon or
# kem_install(<target> BIN) for an operator's tool. A daemon's systemd unit is
# the file <target>.service.in beside that CMakeLists.txt.
include(GNUInstallDirs)

# Every unit installed, for the package's maintainer scripts.
set_property(GLOBAL PROPERTY KEM_UNITS "")

function(kem_install target kind)
  if(kind STREQUAL "SBIN")
    set(dest ${CMAKE_INSTALL_SBINDIR})
  elseif(kind STREQUAL "BIN")
    set(dest ${CMAKE_INSTALL_BINDIR})
  else()
    message(FATAL_ERROR "kem_install(${target} ${kind}): SBIN or BIN")
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${dest})
  # The schema is found relative to the installed program, so the tree works
  # under whatever prefix it is installed (cmake --install --prefix, the
  # package); the configured prefix's directory is the fallback.
  file(RELATIVE_PATH rel ${CMAKE_INSTALL_PREFIX}/${dest}
       ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/kem/yang)
  target_compile_definitions(${target} PRIVATE KEM_YANG_REL_DIR="${rel}"
                             KEM_YANG_DIR="${CMAKE_INSTALL_FULL_DATADIR}/kem/yang")

  set(unit ${CMAKE_CURRENT_SOURCE_DIR}/${target}.service.in)
  if(EXISTS ${unit})
    set_property(GLOBAL APPEND PROPERTY KEM_UNITS ${target}.service)
    # Written at install time: ExecStart names the program under the prefix
    # actually installed to. Debian 12 keeps packaged units in /lib.
    install(CODE "
      if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        set(unit_dir /lib/systemd/system)
      else()
        set(unit_dir \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
      endif()
      file(READ \"${unit}\" text)
      string(REPLACE \"@SBINDIR@\" \"\${CMAKE_INSTALL_PREFIX}/${dest}\" text \"\${text}\")
      message(STATUS \"Installing: \$ENV{DESTDIR}\${unit_dir}/${target}.service\")
      file(WRITE \"\$ENV{DESTDIR}\${unit_dir}/${target}.service\" \"\${text}\")
    ")
  endif()
endfunction()
