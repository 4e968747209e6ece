# SPDX-License-Identifier: Apache-2.0
# The Debian packages, split as Debian splits a library and the programs around it:
#   libcomvarnok2     the C library (SONAME libcomvarnok.so.2)
#   libcomvarnok-dev  its header, pkg-config file and link
#   comvarnok         the varnok command, its man page and the Icinga 2 CheckCommand
#   comvarnok-serve   varnok serve's program, systemd unit, config and user, with the libraries only
#                     it loads
#   comvarnok-gui     the settings dialog's window module, a private plugin of the other two
# The packages put the files where this build installs them (a packager builds for /usr), so the
# pkg-config file and the window module's path name the folders that hold them.

install(TARGETS varnok RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT check)
install(TARGETS varnok-core RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/${VARNOK_PLUGIN_DIR} COMPONENT check)
install(TARGETS varnok-serve RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/${VARNOK_PLUGIN_DIR} COMPONENT serve)
# varnok serve as a service of its own user; Debian 12 keeps units below /lib. The config is a
# conffile, made 0640 root:varnok by the postinst that makes the user.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/varnok-serve.service DESTINATION /lib/systemd/system
        COMPONENT serve)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/serve.yaml DESTINATION /etc/varnok COMPONENT serve)
# Icinga 2's plugin-contrib include reads every file of this folder.
configure_file(app/icinga2-varnok.conf.in icinga2-varnok.conf @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/icinga2-varnok.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icinga2/include/plugins-contrib.d RENAME varnok.conf
        COMPONENT check)

# Debian's changelog entry for this version; its date honours SOURCE_DATE_EPOCH.
string(TIMESTAMP VARNOK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in changelog @ONLY)

# Debian ships these gzipped with -9 and no name or time stamp in the header.
set(gzipped)
foreach(pair "docs/varnok.1|varnok.1" "${PROJECT_BINARY_DIR}/changelog|changelog")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 from)
  list(GET pair 1 to)
  get_filename_component(from "${from}" ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${to}.gz
                     COMMAND sh -c "gzip -9n -c '${from}' > '${to}.gz'"
                     DEPENDS ${from} WORKING_DIRECTORY ${PROJECT_BINARY_DIR} VERBATIM)
  list(APPEND gzipped ${PROJECT_BINARY_DIR}/${to}.gz)
endforeach()
add_custom_target(debian_gzipped ALL DEPENDS ${gzipped})
install(FILES ${PROJECT_BINARY_DIR}/varnok.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT check)

set(varnok_components lib dev check serve)
set(varnok_lib_package libcomvarnok2)
set(varnok_dev_package libcomvarnok-dev)
set(varnok_check_package comvarnok)
set(varnok_serve_package comvarnok-serve)
set(varnok_gui_package comvarnok-gui)
if(VARNOK_GUI)
  list(APPEND varnok_components gui)
endif()
foreach(component ${varnok_components})
  set(package ${varnok_${component}_package})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/${package}.lintian-overrides)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/${package}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${package}
            COMPONENT ${component})
  endif()
endforeach()

set(version ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME comvarnok)
set(CPACK_PACKAGE_VERSION ${version})
set(CPACK_PACKAGE_CONTACT "comVarnok Maintainers <maintainers@comvarnok.org>")
set(CPACK_DEBIAN_PACKAGE_SOURCE comvarnok)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${varnok_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_SUGGESTS comvarnok-gui)
# ldconfig runs through dpkg's trigger. Naming a postinst and a postrm that do not exist keeps
# CPack from writing its own, which would call ldconfig a second time.
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/libcomvarnok2/triggers
    ${CMAKE_CURRENT_LIST_DIR}/libcomvarnok2/postinst ${CMAKE_CURRENT_LIST_DIR}/libcomvarnok2/postrm)
set(CPACK_DEBIAN_LIB_DESCRIPTION "agentless process check over SSH - C library
An agentless process check for monitoring systems: it logs in to a host over
SSH, lists its processes, counts those that match a name and applies a rule
(less than or at least N instances).
.
This package holds the shared library with the in-process C interface.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libcomvarnok2 (= ${version})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "agentless process check over SSH - development files
An agentless process check for monitoring systems: it logs in to a host over
SSH, lists its processes, counts those that match a name and applies a rule
(less than or at least N instances).
.
This package holds the C header, the pkg-config file and the link to build
programs with the library.")

set(CPACK_DEBIAN_CHECK_PACKAGE_SECTION net)
set(CPACK_DEBIAN_CHECK_PACKAGE_SUGGESTS
    "comvarnok-gui, comvarnok-serve, icinga2 | nagios4, openssh-server")
set(CPACK_DEBIAN_CHECK_DESCRIPTION "agentless process check over SSH for monitoring systems
An agentless process check for monitoring systems: it logs in to a host over
SSH, lists its processes, counts those that match a name and applies a rule
(less than or at least N instances).
.
This package holds the varnok command, a plugin with the Nagios conventions,
and the Icinga 2 CheckCommand for it. The demo needs openssh-server.")

# The unit runs `varnok serve`, which the varnok command hands to this package's program.
set(CPACK_DEBIAN_SERVE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVE_PACKAGE_DEPENDS "comvarnok (= ${version}), adduser")
set(CPACK_DEBIAN_SERVE_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/comvarnok-serve/conffiles
    ${CMAKE_CURRENT_LIST_DIR}/comvarnok-serve/postinst ${CMAKE_CURRENT_LIST_DIR}/comvarnok-serve/postrm)
set(CPACK_DEBIAN_SERVE_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_SERVE_PACKAGE_SUGGESTS prometheus)
set(CPACK_DEBIAN_SERVE_DESCRIPTION "agentless process check over SSH - session daemon
An agentless process check for monitoring systems: it logs in to a host over
SSH, lists its processes, counts those that match a name and applies a rule
(less than or at least N instances).
.
This package holds varnok serve and its systemd unit: it keeps one SSH
session per host open for varnok check --via and answers Prometheus probes
over HTTP.")

set(CPACK_DEBIAN_GUI_PACKAGE_SECTION net)
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS
    "comvarnok (= ${version}) | libcomvarnok2 (= ${version}), fonts-liberation2")
set(CPACK_DEBIAN_GUI_DESCRIPTION "agentless process check over SSH - settings dialog
An agentless process check for monitoring systems: it logs in to a host over
SSH, lists its processes, counts those that match a name and applies a rule
(less than or at least N instances).
.
This package holds the settings dialog and the process picker (Qt 6), loaded
by varnok gui and by the library the first time a dialog is shown.")
include(CPack)
