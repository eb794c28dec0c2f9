# The installed product: the program in the product's scripts directory, a
# restartsrv_<name>, start<name> and stop<name> link for every service that has a module
# (VEXLAN_SERVICE_NAMES, the one list), the modules, the manual page, bash completion, and
# the state directories the program writes to.
#
# The program's own paths are fixed (/usr/local/vexlan, /var/vexlan, where the panel keeps
# its products), so they are absolute here; the manual page and the completion follow the
# prefix: /usr/local for "cmake --install", /usr for the package (Debian's places for them).
set(VEXLAN_SCRIPTS_DIR /usr/local/vexlan/scripts)
set(VEXLAN_LINK_NAMES "")
foreach(service ${VEXLAN_SERVICE_NAMES})
  list(APPEND VEXLAN_LINK_NAMES restartsrv_${service} start${service} stop${service})
endforeach()

# The links, made in the build tree and installed as links.
set(link_dir ${CMAKE_BINARY_DIR}/install/links)
set(completion_links ${CMAKE_BINARY_DIR}/install/completions)
file(REMOVE_RECURSE ${link_dir} ${completion_links})
file(MAKE_DIRECTORY ${link_dir} ${completion_links})
foreach(name ${VEXLAN_LINK_NAMES})
  file(CREATE_LINK restartsrv_base ${link_dir}/${name} SYMBOLIC)
  file(CREATE_LINK restartsrv_base ${completion_links}/${name} SYMBOLIC)
endforeach()

install(TARGETS restartsrv_base RUNTIME DESTINATION ${VEXLAN_SCRIPTS_DIR} COMPONENT program)
install(DIRECTORY ${link_dir}/ DESTINATION ${VEXLAN_SCRIPTS_DIR} COMPONENT program)
install(TARGETS ${VEXLAN_SERVICE_TARGETS} LIBRARY DESTINATION /usr/local/vexlan/lib/services COMPONENT program)

# Manual page, compressed as Debian wants it (no time stamp: the same bytes every build).
set(man_gz ${CMAKE_BINARY_DIR}/install/restartsrv_base.8.gz)
add_custom_command(OUTPUT ${man_gz}
                   COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/doc/restartsrv_base.8 > ${man_gz}
                   DEPENDS ${CMAKE_SOURCE_DIR}/doc/restartsrv_base.8)
add_custom_target(manpage ALL DEPENDS ${man_gz})
install(FILES ${man_gz} DESTINATION share/man/man8 COMPONENT program)

# Completion: bash-completion loads a command's file by the command's name, so every
# installed name is a link to the one script, which knows the names itself.
list(JOIN VEXLAN_SERVICE_NAMES " " VEXLAN_COMPLETION_SERVICES)
list(JOIN VEXLAN_LINK_NAMES " " VEXLAN_LINK_NAMES_SPACED)
configure_file(${CMAKE_SOURCE_DIR}/contrib/restartsrv_base.bash-completion.in
               ${CMAKE_BINARY_DIR}/install/completion/restartsrv_base @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/install/completion/restartsrv_base
        DESTINATION share/bash-completion/completions COMPONENT program)
install(DIRECTORY ${completion_links}/ DESTINATION share/bash-completion/completions COMPONENT program)

# State: logs and locks 0700 (they name who changed what), the rest 0755. Made by the
# package's maintainer script instead of shipped in it, so that removing the package
# leaves them and what they hold; a plain "cmake --install" makes them here.
set(VEXLAN_STATE_DIRS
    "/usr/local/vexlan/logs 0700"
    "/var/vexlan 0755"
    "/var/vexlan/restartsrv 0755"
    "/var/vexlan/restartsrv/locks 0700"
    "/var/vexlan/restartsrv/startup_logs 0700"
    "/var/vexlan/svcmond 0755"
    "/var/vexlan/svcmond/suspended 0700"
    "/var/vexlan/custom/services 0755"
    "/var/vexlan/services 0755"
    "/var/vexlan/services/disabled 0755")
string(REPLACE ";" "\n" VEXLAN_STATE_DIR_LINES "${VEXLAN_STATE_DIRS}")
configure_file(${CMAKE_SOURCE_DIR}/packaging/state-dirs.sh.in ${CMAKE_BINARY_DIR}/install/state-dirs.sh @ONLY)
install(CODE "execute_process(COMMAND env \"VEXLAN_ROOT=\$ENV{DESTDIR}\" sh \"${CMAKE_BINARY_DIR}/install/state-dirs.sh\" COMMAND_ERROR_IS_FATAL ANY)"
        COMPONENT state)
file(READ ${CMAKE_BINARY_DIR}/install/state-dirs.sh VEXLAN_STATE_DIRS_SCRIPT)
string(REGEX REPLACE "^#![^\n]*\n" "" VEXLAN_STATE_DIRS_SCRIPT "${VEXLAN_STATE_DIRS_SCRIPT}")

# The Debian package: the program component only; the maintainer script makes the state.
set(CPACK_PACKAGE_NAME vexlan-restartsrv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vexlan hosting panel team <panel@vexlan.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service-control commands of the Vexlan hosting panel")
set(CPACK_PACKAGE_DESCRIPTION "restartsrv_base and its restartsrv_<service>, start<service> and
stop<service> names restart, start, stop, reload, check or report a service
of the hosting panel through systemd or its init script, with a verdict and
an exit status callers can trust.")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL program)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The libraries come from dpkg-shlibdeps; the programs it runs (ionice, init scripts) are
# in essential packages. Completion works where bash-completion is installed.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
# The logs it appends to are rotated; the rotation is the administrator's to change.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/logrotate DESTINATION /etc/logrotate.d RENAME vexlan-restartsrv
        COMPONENT program)
file(WRITE ${CMAKE_BINARY_DIR}/install/conffiles "/etc/logrotate.d/vexlan-restartsrv\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/install/postinst ${CMAKE_BINARY_DIR}/install/conffiles)
# The product's directories under /usr/local are the panel's layout, which every other
# part of the panel expects: lintian's objection to them is overridden, with that reason.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides DESTINATION share/lintian/overrides
        RENAME vexlan-restartsrv COMPONENT package EXCLUDE_FROM_ALL)
set(changelog_gz ${CMAKE_BINARY_DIR}/install/changelog.gz)
add_custom_command(OUTPUT ${changelog_gz}
                   COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${changelog_gz}
                   DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog)
add_custom_target(package_changelog ALL DEPENDS ${changelog_gz})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${changelog_gz} DESTINATION share/doc/vexlan-restartsrv
        COMPONENT package EXCLUDE_FROM_ALL)
list(APPEND CPACK_COMPONENTS_ALL package)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
configure_file(${CMAKE_SOURCE_DIR}/packaging/postinst.in ${CMAKE_BINARY_DIR}/install/postinst @ONLY)
include(CPack)
