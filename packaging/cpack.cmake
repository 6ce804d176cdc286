# `make package`: one Debian package with the server, the simulated vendor libraries and the Python
# client, installed under /usr; run-time dependencies come from dpkg-shlibdeps.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "qor-camera-server")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "qor camera server maintainers <maintainers@qor-camera-server.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "HTTP/JSON server for scientific cameras and light sources")
set(CPACK_PACKAGE_DESCRIPTION
    "Opens every camera the camera SDK can open and gives each its own HTTP/1.1\nserver speaking JSON, found by clients through UDP discovery; optionally the\nlight sources too. Comes with a systemd unit, simulated vendor libraries for\nuse without hardware, and the Python client with its qorcam command.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "science")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}/sim")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3")
# What the client uses when present: arrays, TIFF files and progress bars.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-numpy, python3-tifffile, python3-tqdm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Own maintainer scripts (systemd reloads) instead of CPack's ldconfig calls: the libraries live in a
# private folder that the dynamic linker's cache never sees.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/postinst;${PROJECT_SOURCE_DIR}/packaging/prerm;${PROJECT_SOURCE_DIR}/packaging/postrm")
# Every component in the one package: a site with the vendor's SDK installs without the simulated
# libraries through `cmake --install --component server` instead.
set(CPACK_DEB_COMPONENT_INSTALL OFF)
include(CPack)
