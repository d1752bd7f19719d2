# Install locations and components.
#
#   tools     vexareg, and on Windows the product's README and third-party notices
#   python    the Corvane module with its type stub, beside it and as Corvane-stubs
#   devtools  vexa-platform, the sample framework and the development root that signed
#             it: development and demonstration only, never part of a product archive
#
# `cmake --install BUILD_DIR --component NAME --prefix DIR` installs one of them; the
# wheel and the Windows archive are made that way (scripts/package.sh).
include(GNUInstallDirs)

if(WIN32)
  set(_vexa_python_dir "python")
elseif(EXISTS /etc/debian_version)
  # Debian's interpreter looks in PREFIX/lib/python3.X/dist-packages for /usr/local.
  set(_vexa_python_dir "${CMAKE_INSTALL_LIBDIR}/python3.${Python3_VERSION_MINOR}/dist-packages")
else()
  set(_vexa_python_dir "${CMAKE_INSTALL_LIBDIR}/python3.${Python3_VERSION_MINOR}/site-packages")
endif()
set(VEXA_INSTALL_PYTHONDIR "${_vexa_python_dir}" CACHE STRING
    "Where the python component goes, relative to the install prefix")
set(VEXA_INSTALL_FRAMEWORKDIR "${CMAKE_INSTALL_DATADIR}/vexa/framework" CACHE STRING
    "Where the devtools component puts the sample framework, relative to the install prefix")
set(VEXA_INSTALL_DEVCADIR "${CMAKE_INSTALL_DATADIR}/vexa/devca" CACHE STRING
    "Where the devtools component puts the development root certificate, relative to the install prefix")
