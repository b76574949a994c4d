# Installation and the Debian packages (`cmake --build build --target package`,
# or scripts/package.sh):
#   kestrow_<program version>_<arch>.deb   the programs, libcorvel.so.5 and
#       libusbcorvel.so.1, the sample station, the udev rule, the desktop entry,
#       the kestrow-station@ service and the man pages (component "station");
#   libcorvel-dev_<library version>_<arch>.deb   corvel.h, libcorvel.so and
#       corvel.pc (component "dev").
# The packages install into /usr whatever CMAKE_INSTALL_PREFIX says, and the
# unit and the desktop entry name /usr/bin and /usr/libexec; the udev rule and
# the unit go where Debian 12 keeps them (a cmake --install elsewhere may move them).
set(KESTROW_PACKAGE_MAINTAINER "Kestrow developers <kestrow@example.com>" CACHE STRING
    "Maintainer field of the Debian packages")
set(KESTROW_UDEV_RULES_DIR /lib/udev/rules.d CACHE PATH "Where the udev rule is installed")
set(KESTROW_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH "Where the station service unit is installed")
set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(package_files ${PROJECT_BINARY_DIR}/package-files)

# The sample station (without its generator and git attributes): what a new
# station folder is made from.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/station/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrow/station
        COMPONENT station PATTERN "*.py" EXCLUDE PATTERN ".*" EXCLUDE)
install(FILES ${packaging}/kestrow.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT station)
install(FILES ${packaging}/kestrow.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        COMPONENT station)
install(PROGRAMS ${packaging}/prepare-station ${packaging}/kestrow-training
        DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/kestrow COMPONENT station)
install(FILES ${packaging}/60-kestrow.rules DESTINATION ${KESTROW_UDEV_RULES_DIR} COMPONENT station)
install(FILES ${packaging}/kestrow-station@.service DESTINATION ${KESTROW_SYSTEMD_UNIT_DIR} COMPONENT station)

# Each package's /usr/share/doc: copyright and a changelog for its version.
function(kestrow_package_docs package version component)
  set(PACKAGE ${package})
  set(VERSION ${version})
  set(MAINTAINER ${KESTROW_PACKAGE_MAINTAINER})
  configure_file(${packaging}/debian/changelog.in ${package_files}/${package}/changelog @ONLY)
  add_custom_command(OUTPUT ${package_files}/${package}/changelog.gz
    COMMAND gzip -9nkf ${package_files}/${package}/changelog
    DEPENDS ${package_files}/${package}/changelog VERBATIM)
  add_custom_target(${package}_changelog ALL DEPENDS ${package_files}/${package}/changelog.gz)
  install(FILES ${packaging}/debian/copyright ${package_files}/${package}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endfunction()
kestrow_package_docs(kestrow ${KESTROW_PROGRAM_VERSION} station)
kestrow_package_docs(libcorvel-dev ${PROJECT_VERSION} dev)
install(FILES ${packaging}/debian/README.Debian DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kestrow COMPONENT station)

# Man pages from the programs' --help, in every optimised build that has
# help2man (sanitizer and fuzzing builds do not package).
find_program(HELP2MAN help2man)
if(HELP2MAN AND TARGET kestrow AND TARGET vboard AND KESTROW_SANITIZE STREQUAL "" AND NOT KESTROW_FUZZ)
  set(man_dir ${package_files}/man1)
  add_custom_command(OUTPUT ${man_dir}/kestrow.1.gz
    COMMAND ${CMAKE_COMMAND} -DKESTROW=$<TARGET_FILE:kestrow> -DVBOARD=$<TARGET_FILE:vboard> -DHELP2MAN=${HELP2MAN}
            -DVERSION=${KESTROW_PROGRAM_VERSION} -DOUT=${man_dir} -P ${PROJECT_SOURCE_DIR}/cmake/ManPages.cmake
    DEPENDS kestrow vboard ${PROJECT_SOURCE_DIR}/cmake/ManPages.cmake
    COMMENT "Writing the man pages from --help" VERBATIM)
  add_custom_target(man_pages ALL DEPENDS ${man_dir}/kestrow.1.gz)
  install(DIRECTORY ${man_dir}/ DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT station
          FILES_MATCHING PATTERN "*.1.gz")
endif()

# What the packages hold, without the tests: scripts/package.sh builds this and runs cpack.
add_custom_target(package_contents DEPENDS kestrow vboard corvel usbcorvel kestrow_changelog libcorvel-dev_changelog)
if(TARGET man_pages)
  add_dependencies(package_contents man_pages)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_NAME kestrow)
set(CPACK_PACKAGE_VERSION ${KESTROW_PROGRAM_VERSION})
set(CPACK_PACKAGE_VENDOR "The Kestrow developers")
set(CPACK_PACKAGE_CONTACT ${KESTROW_PACKAGE_MAINTAINER})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL station)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_STATION_PACKAGE_NAME kestrow)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcorvel-dev)
set(CPACK_DEBIAN_STATION_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_STATION_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_STATION_DESCRIPTION
    "production-line firmware burning station for camera and IoT boards
Kestrow burns the boot loader or a whole-flash image into camera and IoT
system-on-chip boards wired to the PC through serial ports: it wakes each
board's boot ROM, sets up its RAM, loads a small on-target agent and writes
the flash, with progress and dated logs per channel. It also builds SPI NOR
flash images and FAT disk images.
.
This package holds the station window, the kestrow command line, the
virtual board vboard, the corvel library, a sample station, a udev rule for
the boards' USB devices and the kestrow-station@ service for headless lines.")
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "board connection library of the Kestrow station (development files)
corvel owns every board connection of the Kestrow burning station behind a
flat C API of KW_ functions.
.
This package holds the header corvel.h, the link libcorvel.so and corvel.pc
for pkg-config.")
set(CPACK_DEBIAN_STATION_PACKAGE_CONTROL_EXTRA
    "${packaging}/debian/postinst;${packaging}/debian/prerm;${packaging}/debian/postrm;${packaging}/debian/triggers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The development package carries the library's version, not the program's,
# and CPack gives one version to every package of a run: a second run after
# the first makes it.
configure_file(${PROJECT_SOURCE_DIR}/cmake/CPackDevConfig.cmake.in ${PROJECT_BINARY_DIR}/CPackDevConfig.cmake @ONLY)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/CPackDevPass.cmake)
set(CPACK_KESTROW_DEV_CONFIG ${PROJECT_BINARY_DIR}/CPackDevConfig.cmake)
set(CPACK_KESTROW_CPACK ${CMAKE_CPACK_COMMAND})
include(CPack)
