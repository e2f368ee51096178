# `cpack` in a build folder: Debian packages split the Debian way on Linux,
# a zip of the whole installed tree from the Windows build. Both land in
# <build>/packages.
set(CPACK_PACKAGE_NAME zar-usb)
set(CPACK_PACKAGE_VENDOR "the ZAR_USB developers")
set(CPACK_PACKAGE_CONTACT "the ZAR_USB developers")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL Runtime Development Tools GenTL)
if(ZAR_FEATURES_FOUND)
  list(APPEND CPACK_COMPONENTS_ALL Features)
endif()
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "transport layer for USB machine-vision cameras")
  set(CPACK_PACKAGE_FILE_NAME zar-usb-${PROJECT_VERSION}-win64)
else()
  # libzar-usb1: the library and the description files. libzar-usb-dev,
  # zar-usb-tools and libzar-features1 (built where Aravis is) need exactly
  # that build of it (zarusb carries the emulator's code, which must agree
  # with the library on the layouts of the emulated bus and the camera
  # table). Each description's first line is the package's summary.
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
  # libzar-usb1 carries its shlibs entry, for packages built against it, and
  # runs ldconfig when installed and removed.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzar-usb${PROJECT_VERSION_MAJOR})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "transport layer for USB machine-vision cameras
The ZAR_USB library finds cameras, opens them, reads and writes their
registers, streams images into application buffers and reports plug,
unplug, power and device events. Several processes share one table of
cameras. This package holds the shared library and the GenICam
description files of the transport layer and the emulated cameras.")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzar-usb-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(api_reference "")
  if(TARGET zar_usb_docs)
    set(api_reference "\nThe API reference, in HTML, is in /usr/share/doc/zar-usb/html.")
  endif()
  set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "transport layer for USB machine-vision cameras - development files
The C headers, the links to the shared libraries, the CMake package
(find_package(ZarUsb), targets ZarUsb::zar_usb and, where built with Aravis,
ZarUsb::zar_features), the pkg-config files zar_usb.pc and zar_features.pc
and example programs in C and C++.${api_reference}")

  set(CPACK_DEBIAN_FEATURES_PACKAGE_NAME libzar-features${PROJECT_VERSION_MAJOR})
  set(CPACK_DEBIAN_FEATURES_PACKAGE_SECTION libs)
  set(CPACK_COMPONENT_FEATURES_DESCRIPTION "camera features by name for the ZAR_USB transport layer
The zar_features library reads and writes a camera's features by name,
evaluating its GenICam description file with Aravis' GenICam engine.
zarusb's feature commands, the Python package and applications use it.")

  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zar-usb-tools)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
  set(CPACK_COMPONENT_TOOLS_DESCRIPTION "transport layer for USB machine-vision cameras - command-line tool
zarusb lists cameras, shows their identity, reads and writes registers,
prints description files, grabs frames into PNG files and drives the
built-in camera emulator.")

  set(CPACK_DEBIAN_GENTL_PACKAGE_NAME zar-usb-gentl)
  set(CPACK_DEBIAN_GENTL_PACKAGE_SECTION libs)
  set(CPACK_COMPONENT_GENTL_DESCRIPTION "transport layer for USB machine-vision cameras - GenTL producer
ZAR_USB.cti puts the cameras into every GenICam GenTL consumer: machine-vision
libraries and applications find it through GENICAM_GENTL64_PATH
(/usr/lib/<multiarch>/gentl) and reach the cameras, their registers,
description files, images and events through the GenTL 1.5 interface.")

  # python3-zar-usb: the Python package, for Debian's Python 3.
  list(APPEND CPACK_COMPONENTS_ALL Python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-zar-usb)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, python3-numpy")
  if(ZAR_FEATURES_FOUND)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS libzar-features${PROJECT_VERSION_MAJOR})
  endif()
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/package/python/prerm)
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION "transport layer for USB machine-vision cameras - Python 3 package
The zar_usb package reaches ZAR_USB cameras from Python: it lists and opens
them, reads and writes their registers, streams frames into numpy arrays
and reports plug, unplug and device events; with libzar-features1 it reads
and writes the camera's features by name.")

  # gstreamer1.0-zar-usb: the GStreamer element, when it is built.
  if(TARGET gstzarusb)
    list(APPEND CPACK_COMPONENTS_ALL GStreamer)
    set(CPACK_DEBIAN_GSTREAMER_PACKAGE_NAME gstreamer1.0-zar-usb)
    set(CPACK_DEBIAN_GSTREAMER_PACKAGE_SECTION video)
    set(CPACK_COMPONENT_GSTREAMER_DESCRIPTION "transport layer for USB machine-vision cameras - GStreamer element
zarusbsrc streams a camera into a GStreamer pipeline, time-stamped by the
camera: Mono8, Mono16, RGB8 and BGR8 frames as raw video, Bayer frames as
video/x-bayer. Downstream caps choose the size and pixel format; properties
set exposure, gain, frame rate, offsets and any feature by name.")
  endif()
endif()

include(CPack)
if(NOT WIN32)
  # Each Debian package names its licence in its own documentation folder;
  # only cpack installs these (a plain install has the licence once).
  foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
      RENAME copyright COMPONENT ${component} EXCLUDE_FROM_ALL)
  endforeach()
endif()
cpack_add_component(Runtime DISPLAY_NAME "Library")
if(ZAR_FEATURES_FOUND)
  cpack_add_component(Development DISPLAY_NAME "Development files" DEPENDS Runtime Features)
  cpack_add_component(Features DISPLAY_NAME "Camera features by name" DEPENDS Runtime)
  cpack_add_component(Tools DISPLAY_NAME "zarusb" DEPENDS Runtime Features)
else()
  cpack_add_component(Development DISPLAY_NAME "Development files" DEPENDS Runtime)
  cpack_add_component(Tools DISPLAY_NAME "zarusb" DEPENDS Runtime)
endif()
cpack_add_component(GenTL DISPLAY_NAME "GenTL producer" DEPENDS Runtime)
if(NOT WIN32)
  cpack_add_component(Python DISPLAY_NAME "Python package" DEPENDS Runtime)
endif()
if(TARGET gstzarusb)
  # The element reads and writes the camera's features by name.
  cpack_add_component(GStreamer DISPLAY_NAME "GStreamer element" DEPENDS Runtime Features)
endif()
