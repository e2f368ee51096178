# What `cmake --install` puts where (GNUInstallDirs), in three components:
#   Runtime      the library (Windows: the DLL), the description files, the licence
#   Development  the headers, the link library (.so link; Windows: import library
#                and .def), the CMake package, zar_usb.pc, the examples' sources
#   Tools        zarusb and its manual page
# (and, for the Debian packages alone, Python: the Python package).
# Every path is relative to the prefix, so an installed tree can be moved and
# --prefix may be chosen at install time. The Debian packages have the
# libraries, the CMake package and the pkg-config files in the multiarch
# folder (ZAR_USB_PACKAGE_LIBDIR): when that is not the prefix's LIBDIR,
# cpack installs a copy of their own there (components Runtime, Development
# and Features), and a plain install the prefix's (RuntimePrefix,
# DevelopmentPrefix, FeaturesPrefix).
include(CMakePackageConfigHelpers)

foreach(dir BINDIR LIBDIR INCLUDEDIR DATADIR DOCDIR MANDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    message(FATAL_ERROR "CMAKE_INSTALL_${dir} must be relative to the prefix, not ${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(ZAR_USB_GENICAM_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/zar-usb/genicam)

install(FILES include/zar_usb.h include/zar_usb_camera.h TYPE INCLUDE COMPONENT Development)
install(DIRECTORY genicam/ DESTINATION ${ZAR_USB_GENICAM_INSTALL_DIR} COMPONENT Runtime)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Runtime)
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT Development)
if(WIN32)
  install(FILES ${CMAKE_BINARY_DIR}/ZAR_USB.def TYPE LIB COMPONENT Development)
endif()
# zar_features (Linux, where Aravis is): the library in a package of its own
# (libzar-features1), for zarusb, the Python package and applications; its
# header, link library, CMake target ZarUsb::zar_features and
# zar_features.pc with the development files.
if(TARGET zar_features)
  install(FILES features/zar_features.h TYPE INCLUDE COMPONENT Development)
endif()

# The libraries, find_package(ZarUsb) (the target ZarUsb::zar_usb) and the
# pkg-config files below libdir, in the components named with the suffix
# given; further arguments (EXCLUDE_FROM_ALL: for cpack alone) go to each
# rule. The CMake and pkg-config files are made in package/<layout>.
function(zar_usb_install_libraries layout libdir suffix)
  set(export ZarUsbTargets${suffix})
  set(cmake_dir ${libdir}/cmake/ZarUsb)
  set(package_dir ${CMAKE_BINARY_DIR}/package/${layout})
  install(TARGETS zar_usb EXPORT ${export}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime${suffix} ${ARGN}
    LIBRARY DESTINATION ${libdir} COMPONENT Runtime${suffix} NAMELINK_COMPONENT Development${suffix} ${ARGN}
    ARCHIVE DESTINATION ${libdir} COMPONENT Development${suffix} ${ARGN})
  if(TARGET zar_features)
    install(TARGETS zar_features EXPORT ${export}
      LIBRARY DESTINATION ${libdir} COMPONENT Features${suffix} NAMELINK_COMPONENT Development${suffix} ${ARGN})
  endif()

  install(EXPORT ${export} FILE ZarUsbTargets.cmake NAMESPACE ZarUsb:: DESTINATION ${cmake_dir}
    COMPONENT Development${suffix} ${ARGN})
  configure_package_config_file(cmake/package/ZarUsbConfig.cmake.in ${package_dir}/ZarUsbConfig.cmake
    INSTALL_DESTINATION ${cmake_dir} PATH_VARS ZAR_USB_GENICAM_INSTALL_DIR)
  write_basic_package_version_file(${package_dir}/ZarUsbConfigVersion.cmake COMPATIBILITY SameMajorVersion)
  install(FILES ${package_dir}/ZarUsbConfig.cmake ${package_dir}/ZarUsbConfigVersion.cmake
    DESTINATION ${cmake_dir} COMPONENT Development${suffix} ${ARGN})

  # zar_usb.pc: its prefix is computed from its own place (${pcfiledir}), so
  # the tree may be moved; the packages' is /usr.
  if(layout STREQUAL "debian")
    set(ZAR_USB_PC_PREFIX /usr)
  else()
    file(RELATIVE_PATH to_prefix /${libdir}/pkgconfig /)
    string(REGEX REPLACE "/$" "" to_prefix "${to_prefix}")
    set(ZAR_USB_PC_PREFIX "\${pcfiledir}/${to_prefix}")
  endif()
  set(ZAR_USB_PC_LIBDIR ${libdir})
  set(pc_files ${package_dir}/zar_usb.pc)
  configure_file(cmake/package/zar_usb.pc.in ${package_dir}/zar_usb.pc @ONLY)
  if(TARGET zar_features)
    configure_file(cmake/package/zar_features.pc.in ${package_dir}/zar_features.pc @ONLY)
    list(APPEND pc_files ${package_dir}/zar_features.pc)
  endif()
  install(FILES ${pc_files} DESTINATION ${libdir}/pkgconfig COMPONENT Development${suffix} ${ARGN})
endfunction()

if(WIN32)
  set(ZAR_USB_LINK_NAME ZAR_USB)
else()
  set(ZAR_USB_LINK_NAME zar_usb)
endif()
if(ZAR_USB_PACKAGE_LIBDIR STREQUAL CMAKE_INSTALL_LIBDIR)
  zar_usb_install_libraries(prefix ${CMAKE_INSTALL_LIBDIR} "")
else()
  zar_usb_install_libraries(prefix ${CMAKE_INSTALL_LIBDIR} Prefix)
  zar_usb_install_libraries(debian ${ZAR_USB_PACKAGE_LIBDIR} "" EXCLUDE_FROM_ALL)
endif()

# The Python package zar_usb, where Debian's Python finds it: for the Debian
# package python3-zar-usb only (a prefix gets it with pip, see README.md).
if(NOT WIN32)
  install(DIRECTORY python/zar_usb DESTINATION lib/python3/dist-packages COMPONENT Python EXCLUDE_FROM_ALL
    FILES_MATCHING PATTERN "*.py" PATTERN __pycache__ EXCLUDE)
endif()

# zarusb finds the library beside it (bin/../lib; the packages'
# bin/../lib/<multiarch>), wherever the tree lies. Its manual page goes
# compressed, as Debian has them (Windows: --help).
install(TARGETS zarusb RUNTIME COMPONENT Tools)
if(NOT WIN32)
  set(zarusb_rpath)
  foreach(libdir IN ITEMS ${CMAKE_INSTALL_LIBDIR} ${ZAR_USB_PACKAGE_LIBDIR})
    file(RELATIVE_PATH bin_to_lib /${CMAKE_INSTALL_BINDIR} /${libdir})
    list(APPEND zarusb_rpath "$ORIGIN/${bin_to_lib}")
  endforeach()
  list(REMOVE_DUPLICATES zarusb_rpath)
  set_target_properties(zarusb PROPERTIES INSTALL_RPATH "${zarusb_rpath}")
  set(zarusb_man ${CMAKE_BINARY_DIR}/man/zarusb.1.gz)
  add_custom_command(OUTPUT ${zarusb_man}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/tools/zarusb/zarusb.1 > ${zarusb_man}
    DEPENDS tools/zarusb/zarusb.1 VERBATIM)
  add_custom_target(zarusb_man ALL DEPENDS ${zarusb_man})
  install(FILES ${zarusb_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Tools)
endif()
