# Installation and the Debian package: `cmake --build build --target package` makes
# build/veltaro-upgrade_<version>_<arch>.deb. Only the program, its data and its documents are installed.
include(GNUInstallDirs)

set(UPGRADE_APP_ID com.veltaro.FirmwareUpgrade)
set(UPGRADE_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")
set(pkg "${PROJECT_BINARY_DIR}/packaging")

# The rules directory of the system's udev (Debian 12: /lib/udev/rules.d); udev.pc names it where udev
# is installed.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
    pkg_get_variable(UDEV_PC_DIR udev udevdir)
endif()
if(NOT UDEV_PC_DIR)
    set(UDEV_PC_DIR /lib/udev)
endif()
set(UDEV_RULES_DIR "${UDEV_PC_DIR}/rules.d" CACHE PATH "Where the package installs its udev rule")

# Generated at build time: the icon (drawn by our tool), the manual page and the changelog, compressed
# the way Debian wants them (gzip -9n: no name, no time stamp, so the package is reproducible).
add_custom_command(OUTPUT "${pkg}/${UPGRADE_APP_ID}.png" "${pkg}/${UPGRADE_APP_ID}.svg"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${pkg}"
    COMMAND draw_icon "${pkg}/${UPGRADE_APP_ID}.png" "${pkg}/${UPGRADE_APP_ID}.svg"
    DEPENDS draw_icon VERBATIM)
configure_file("${UPGRADE_PACKAGING_DIR}/veltaro-upgrade.1.in" "${pkg}/veltaro-upgrade.1" @ONLY)
find_program(GZIP_PROGRAM gzip REQUIRED)
add_custom_command(OUTPUT "${pkg}/gz/veltaro-upgrade.1.gz" "${pkg}/gz/changelog.gz"
    COMMAND ${CMAKE_COMMAND} -E copy "${pkg}/veltaro-upgrade.1" "${UPGRADE_PACKAGING_DIR}/changelog" "${pkg}/gz"
    COMMAND "${GZIP_PROGRAM}" -9nf "${pkg}/gz/veltaro-upgrade.1" "${pkg}/gz/changelog"
    DEPENDS "${pkg}/veltaro-upgrade.1" "${UPGRADE_PACKAGING_DIR}/changelog" VERBATIM)
add_custom_target(packaging_files ALL DEPENDS
    "${pkg}/${UPGRADE_APP_ID}.png" "${pkg}/${UPGRADE_APP_ID}.svg"
    "${pkg}/gz/veltaro-upgrade.1.gz" "${pkg}/gz/changelog.gz")

set(datadir "${CMAKE_INSTALL_DATADIR}")
install(TARGETS veltaro-upgrade RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(PROGRAMS "${PROJECT_SOURCE_DIR}/simulator/dfu-util_simulator.sh" DESTINATION "${datadir}/veltaro-upgrade")
install(FILES "${UPGRADE_PACKAGING_DIR}/${UPGRADE_APP_ID}.desktop" DESTINATION "${datadir}/applications")
install(FILES "${UPGRADE_PACKAGING_DIR}/${UPGRADE_APP_ID}.metainfo.xml" DESTINATION "${datadir}/metainfo")
install(FILES "${pkg}/${UPGRADE_APP_ID}.png" DESTINATION "${datadir}/icons/hicolor/128x128/apps")
install(FILES "${pkg}/${UPGRADE_APP_ID}.svg" DESTINATION "${datadir}/icons/hicolor/scalable/apps")
install(FILES "${UPGRADE_PACKAGING_DIR}/70-veltaro-upgrade.rules" DESTINATION "${UDEV_RULES_DIR}")
install(FILES "${pkg}/gz/veltaro-upgrade.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${UPGRADE_PACKAGING_DIR}/copyright" "${pkg}/gz/changelog.gz"
    DESTINATION "${datadir}/doc/veltaro-upgrade")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veltaro-upgrade)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR Veltaro)
set(CPACK_PACKAGE_CONTACT "Veltaro Firmware Team <firmware@veltaro.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upgrade tool for Veltaro Lx-50 units")
# Debian wants the long description in lines of at most 80 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "A desktop tool that upgrades the firmware of a Lx-50 unit over USB. The user"
    "follows the numbered steps on its window, puts the unit into its USB DFU boot"
    "mode and clicks one button; the tool checks that the firmware it carries fits"
    "the unit, writes it, reads the whole flash back and compares it byte for byte."
    ""
    "The firmware and the DFU tool travel inside the program. The package also"
    "installs the udev rule that gives the logged-in user access to a unit in DFU"
    "boot mode.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://veltaro.example/firmware-upgrade")
find_program(DPKG_PROGRAM dpkg)
if(DPKG_PROGRAM)
    execute_process(COMMAND "${DPKG_PROGRAM}" --print-architecture
        OUTPUT_VARIABLE UPGRADE_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE)
else()
    set(UPGRADE_DEB_ARCH amd64)
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${UPGRADE_DEB_ARCH}")
set(CPACK_DEBIAN_FILE_NAME "veltaro-upgrade_${PROJECT_VERSION}_${UPGRADE_DEB_ARCH}.deb")
# Dependencies come from the binary (dpkg-shlibdeps), never from a hand-kept list.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The udev rule has an absolute destination: DESTDIR keeps it inside the package's staging tree.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}")
set(CPACK_OUTPUT_CONFIG_FILE "${PROJECT_BINARY_DIR}/CPackConfig.cmake")
set(CPACK_SOURCE_OUTPUT_CONFIG_FILE "${PROJECT_BINARY_DIR}/CPackSourceConfig.cmake")
include(CPack)

# `deb`: the same package, made again only when something in it changed (CPack's own `package` target
# always repacks and first builds everything, tests included). test.sh builds it.
set(UPGRADE_DEB "${PROJECT_BINARY_DIR}/${CPACK_DEBIAN_FILE_NAME}")
add_custom_command(OUTPUT "${UPGRADE_DEB}"
    COMMAND "${CMAKE_CPACK_COMMAND}" --config "${PROJECT_BINARY_DIR}/CPackConfig.cmake"
    DEPENDS veltaro-upgrade packaging_files
            "${pkg}/${UPGRADE_APP_ID}.png" "${pkg}/${UPGRADE_APP_ID}.svg"
            "${pkg}/gz/veltaro-upgrade.1.gz" "${pkg}/gz/changelog.gz"
            "${PROJECT_SOURCE_DIR}/simulator/dfu-util_simulator.sh"
            "${UPGRADE_PACKAGING_DIR}/${UPGRADE_APP_ID}.desktop"
            "${UPGRADE_PACKAGING_DIR}/${UPGRADE_APP_ID}.metainfo.xml"
            "${UPGRADE_PACKAGING_DIR}/70-veltaro-upgrade.rules"
            "${UPGRADE_PACKAGING_DIR}/copyright"
            "${PROJECT_SOURCE_DIR}/cmake/Package.cmake"
    WORKING_DIRECTORY "${PROJECT_BINARY_DIR}"
    COMMENT "Packing ${CPACK_DEBIAN_FILE_NAME}"
    VERBATIM)
add_custom_target(deb DEPENDS "${UPGRADE_DEB}")
