# Installing and packaging Tarnel.
#
#   cmake --install build --prefix <prefix>     the files below under any prefix
#   cmake --install build --prefix <prefix> --component cli     the command line alone
#   (cd build && cpack -G DEB)                   tarnel-cli_<version>_<arch>.deb and
#                                                tarnel_<version>_<arch>.deb (scripts/package)
#
# Installed layout (relative to the prefix), by component (= Debian package):
#   cli (tarnel-cli: no Qt, no GL)
#     bin/tarnel-cli
#     share/tarnel/                the program folder template: Config/FlashConfig.xml,
#                                  Config/signapk.jar and jre (links to the system's),
#                                  BurnConfig.ini; copied to $XDG_DATA_HOME/tarnel/ on first start
#     share/man/man1/tarnel-cli.1.gz
#     share/bash-completion/completions/tarnel-cli
#     share/doc/tarnel-cli/        README.md, cli.md, copyright, changelog.gz
#   gui (tarnel: the window; depends on tarnel-cli of the same version for the template)
#     bin/tarnel
#     share/applications/tarnel.desktop, share/icons/hicolor/<n>x<n>/apps/tarnel.png
#     share/man/man1/tarnel.1.gz
#     share/doc/tarnel/            copyright, changelog.gz
#
# Also generates build_info.h (the version from project() and the install
# layout) for the two front ends. Nothing of tests/, fuzz/ or bench/ is installed.
include(GNUInstallDirs)

set(TARNEL_DATADIR ${CMAKE_INSTALL_DATADIR}/tarnel)
set(TARNEL_CLI_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/tarnel-cli)
set(TARNEL_GUI_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/tarnel)
set(TARNEL_PACKAGE_MAINTAINER "Tarnel developers <tarnel@example.org>" CACHE STRING
    "Maintainer field of the Debian package")

# ---------------------------------------------------------------- build information
file(RELATIVE_PATH TARNEL_TEMPLATE_FROM_BINDIR ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR}/tarnel)
# The build's date and time as the About box shows them (the form of
# __DATE__ and __TIME__): from SOURCE_DATE_EPOCH when it is set, so that a
# package built twice from one commit holds the same bytes; else empty, and
# the About box takes the compiler's own.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  string(TIMESTAMP day "%d" UTC)
  string(REGEX REPLACE "^0" " " day "${day}")
  string(TIMESTAMP TARNEL_BUILD_DATE "\"%b ${day} %Y\"" UTC)
  string(TIMESTAMP TARNEL_BUILD_TIME "\"%H:%M:%S\"" UTC)
else()
  set(TARNEL_BUILD_DATE "\"\"")
  set(TARNEL_BUILD_TIME "\"\"")
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/build_info.h.in ${CMAKE_BINARY_DIR}/generated/build_info.h @ONLY)
add_library(tarnel_build_info INTERFACE)
target_include_directories(tarnel_build_info INTERFACE ${CMAKE_BINARY_DIR}/generated)
target_link_libraries(tarnel-cli PRIVATE tarnel_build_info)
if(TARGET tarnel_app)
  target_link_libraries(tarnel_app PUBLIC tarnel_build_info)
endif()

# ---------------------------------------------------------------- executables
install(TARGETS tarnel-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
if(TARGET tarnel)
  install(TARGETS tarnel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
endif()

# ---------------------------------------------------------------- program folder template
install(FILES ${CMAKE_SOURCE_DIR}/data/Config/FlashConfig.xml DESTINATION ${TARNEL_DATADIR}/Config COMPONENT cli)
install(FILES ${CMAKE_SOURCE_DIR}/data/BurnConfig.ini DESTINATION ${TARNEL_DATADIR} COMPONENT cli)
# The links point at the paths of the target system whether or not the
# build machine has signapk and Java; install() copies them as links.
set(TARNEL_INSTALL_LINKS ${CMAKE_BINARY_DIR}/install-links)
file(MAKE_DIRECTORY ${TARNEL_INSTALL_LINKS}/Config)
file(CREATE_LINK ${TARNEL_SIGNAPK_JAR} ${TARNEL_INSTALL_LINKS}/Config/signapk.jar SYMBOLIC)
file(CREATE_LINK ${TARNEL_JAVA_HOME} ${TARNEL_INSTALL_LINKS}/jre SYMBOLIC)
install(FILES ${TARNEL_INSTALL_LINKS}/Config/signapk.jar DESTINATION ${TARNEL_DATADIR}/Config COMPONENT cli)
install(FILES ${TARNEL_INSTALL_LINKS}/jre DESTINATION ${TARNEL_DATADIR} COMPONENT cli)
# Those links stay absolute: every user's program folder is linked to their targets.
configure_file(${CMAKE_SOURCE_DIR}/packaging/lintian-overrides.in ${CMAKE_BINARY_DIR}/lintian/tarnel-cli @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/lintian/tarnel-cli DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
  COMPONENT cli)

# ---------------------------------------------------------------- manual pages, completion, documents
# Pages are compressed as Debian policy asks (gzip -9n: no name, no time stamp).
set(TARNEL_MAN_PAGES tarnel-cli.1)
if(TARGET tarnel)
  list(APPEND TARNEL_MAN_PAGES tarnel.1)
endif()
set(TARNEL_MAN_FILES "")
foreach(page IN LISTS TARNEL_MAN_PAGES)
  set(tarnel_man_out ${CMAKE_BINARY_DIR}/man/${page})
  add_custom_command(OUTPUT ${tarnel_man_out}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/docs/man/${page} ${tarnel_man_out}
    COMMAND gzip -9nf ${tarnel_man_out}
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${page}
    VERBATIM)
  list(APPEND TARNEL_MAN_FILES ${tarnel_man_out}.gz)
  if(page STREQUAL "tarnel.1")
    install(FILES ${tarnel_man_out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT gui)
  else()
    install(FILES ${tarnel_man_out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT cli)
  endif()
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/doc/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
  COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/doc/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog
  VERBATIM)
add_custom_target(tarnel_docs ALL DEPENDS ${TARNEL_MAN_FILES} ${CMAKE_BINARY_DIR}/doc/changelog.gz)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/tarnel-cli.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME tarnel-cli COMPONENT cli)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/cli.md ${CMAKE_SOURCE_DIR}/packaging/copyright
  ${CMAKE_BINARY_DIR}/doc/changelog.gz DESTINATION ${TARNEL_CLI_DOCDIR} COMPONENT cli)
# Every package has a folder of its own under share/doc with the copyright and changelog.
if(TARGET tarnel)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz
    DESTINATION ${TARNEL_GUI_DOCDIR} COMPONENT gui)
endif()

# ---------------------------------------------------------------- desktop entry and icon
if(TARGET tarnel)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tarnel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
    COMPONENT gui)
  # The icon is the one the window draws, written out at the usual theme sizes.
  set(TARNEL_ICON_SIZES 16 22 24 32 48 64 128 256)
  add_executable(tarnel-write-icons ${CMAKE_SOURCE_DIR}/src/app/tools/write_icons.cpp)
  target_link_libraries(tarnel-write-icons PRIVATE tarnel_app)
  set_target_properties(tarnel-write-icons PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
  set(TARNEL_ICON_FILES "")
  foreach(size IN LISTS TARNEL_ICON_SIZES)
    list(APPEND TARNEL_ICON_FILES ${CMAKE_BINARY_DIR}/icons/${size}x${size}/apps/tarnel.png)
  endforeach()
  add_custom_command(OUTPUT ${TARNEL_ICON_FILES}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            $<TARGET_FILE:tarnel-write-icons> ${CMAKE_BINARY_DIR}/icons ${TARNEL_ICON_SIZES}
    DEPENDS tarnel-write-icons
    VERBATIM)
  add_custom_target(tarnel_icons ALL DEPENDS ${TARNEL_ICON_FILES})
  install(DIRECTORY ${CMAKE_BINARY_DIR}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor COMPONENT gui)
endif()

# ---------------------------------------------------------------- Debian packages
# One package per component: tarnel-cli (the command line, for build machines
# without a display) and tarnel (the window, on top of tarnel-cli's template).
set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_PACKAGE_NAME tarnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TARNEL_PACKAGE_MAINTAINER}")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli)
if(TARGET tarnel)
  list(APPEND CPACK_COMPONENTS_ALL gui)
endif()
set(CPACK_DEBIAN_CLI_PACKAGE_NAME tarnel-cli)
set(CPACK_DEBIAN_GUI_PACKAGE_NAME tarnel)
# tarnel gets "Depends: tarnel-cli (= <version>)" ahead of its libraries.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_GUI_DEPENDS cli)
# The first line of each description is the package's synopsis; lines stay below 80 columns.
set(TARNEL_DESCRIPTION_COMMON [[
Tarnel turns the unsigned partition images of a set-top-box firmware into
images that the board's secure boot accepts: SHA-256 and RSA-2048 signature
blocks, per-MiB section signatures for Ext4 sparse and UBI images, AES-128
CBC-MAC containers laid out by NAND geometry for older boards, a signed
boot-loader chain and a Triple-DES key partition. It packs the upgrade
partitions into an update archive signed as AOSP signapk signs it.]])
set(CPACK_DEBIAN_CLI_DESCRIPTION "sign set-top-box firmware images for secure boot (command line)
${TARNEL_DESCRIPTION_COMMON}

This package holds the command line tarnel-cli, which needs neither Qt nor
a display, its manual page and bash completion, and the program folder
template. Each user gets a program folder under ~/.local/share/tarnel/ on
first start.")
set(CPACK_DEBIAN_GUI_DESCRIPTION "sign set-top-box firmware images for secure boot (desktop program)
${TARNEL_DESCRIPTION_COMMON}

This package holds the desktop program tarnel (Qt 6); it drives the same
signing run as tarnel-cli, from the package of that name.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The upgrade archive is signed natively; Java and signapk only sign it when
# asked to ([Signing] Archive=java) or for inputs only they can sign.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "default-jre-headless | java-runtime-headless, signapk")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
