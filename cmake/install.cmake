# What `cmake --install` puts where (GNUInstallDirs), in three components:
#   Runtime      the library (Windows: the DLL), the description files, the licence
#   Development  the headers, the link library (.so link; Windows: import library
#                and .def), the CMake package, zar_usb.pc, the examples' sources
#   Tools        zarusb and its manual page
# Every path is relative to the prefix, so an installed tree can be moved and
# --prefix may be chosen at install time.
include(CMakePackageConfigHelpers)

foreach(dir BINDIR LIBDIR INCLUDEDIR DATADIR DOCDIR MANDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    message(FATAL_ERROR "CMAKE_INSTALL_${dir} must be relative to the prefix, not ${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(ZAR_USB_GENICAM_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/zar-usb/genicam)
set(ZAR_USB_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZarUsb)

install(TARGETS zar_usb EXPORT ZarUsbTargets
  RUNTIME COMPONENT Runtime
  LIBRARY COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE COMPONENT Development)
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
  install(TARGETS zar_features EXPORT ZarUsbTargets LIBRARY COMPONENT Features NAMELINK_COMPONENT Development)
  install(FILES features/zar_features.h TYPE INCLUDE COMPONENT Development)
endif()

# zarusb finds the library beside it (bin/../lib), wherever the tree lies.
# Its manual page goes compressed, as Debian has them (Windows: --help).
install(TARGETS zarusb RUNTIME COMPONENT Tools)
if(NOT WIN32)
  file(RELATIVE_PATH bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
  set_target_properties(zarusb PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  set(zarusb_man ${CMAKE_BINARY_DIR}/man/zarusb.1.gz)
  add_custom_command(OUTPUT ${zarusb_man}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/tools/zarusb/zarusb.1 > ${zarusb_man}
    DEPENDS tools/zarusb/zarusb.1 VERBATIM)
  add_custom_target(zarusb_man ALL DEPENDS ${zarusb_man})
  install(FILES ${zarusb_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Tools)
endif()

# find_package(ZarUsb): the target ZarUsb::zar_usb.
install(EXPORT ZarUsbTargets NAMESPACE ZarUsb:: DESTINATION ${ZAR_USB_CMAKE_INSTALL_DIR} COMPONENT Development)
configure_package_config_file(cmake/package/ZarUsbConfig.cmake.in ${CMAKE_BINARY_DIR}/package/ZarUsbConfig.cmake
  INSTALL_DESTINATION ${ZAR_USB_CMAKE_INSTALL_DIR} PATH_VARS ZAR_USB_GENICAM_INSTALL_DIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/ZarUsbConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/ZarUsbConfig.cmake ${CMAKE_BINARY_DIR}/package/ZarUsbConfigVersion.cmake
  DESTINATION ${ZAR_USB_CMAKE_INSTALL_DIR} COMPONENT Development)

# zar_usb.pc: its prefix is computed from its own place (${pcfiledir}).
file(RELATIVE_PATH ZAR_USB_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" ZAR_USB_PC_TO_PREFIX "${ZAR_USB_PC_TO_PREFIX}")
if(WIN32)
  set(ZAR_USB_LINK_NAME ZAR_USB)
else()
  set(ZAR_USB_LINK_NAME zar_usb)
endif()
configure_file(cmake/package/zar_usb.pc.in ${CMAKE_BINARY_DIR}/package/zar_usb.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/zar_usb.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT Development)
if(TARGET zar_features)
  configure_file(cmake/package/zar_features.pc.in ${CMAKE_BINARY_DIR}/package/zar_features.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package/zar_features.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT Development)
endif()
