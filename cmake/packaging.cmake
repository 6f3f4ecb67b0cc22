# What `cmake --install` puts in place, and the Debian package made from it
# by `cpack -G DEB`. Only the five programs and the README are shipped.
include(GNUInstallDirs)

set(UPDATER_PACKAGE_NAME brevlane-updater)

install(TARGETS updater versionupdater manifesteditor manifesttool updateserver
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${UPDATER_PACKAGE_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${UPDATER_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Brevlane")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Auto-update system: updater, versionupdater, manifest editor and tool, update server")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build keeps its debug information; the package does not need it.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Brevlane Updater maintainers")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Depends: is read off the libraries the programs link (dpkg-shlibdeps,
# from dpkg-dev), so it names exactly the Debian packages they need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
