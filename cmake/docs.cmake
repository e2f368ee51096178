# The API reference: HTML pages that Doxygen makes from the comments of the
# installed headers, in <build>/doc/html, installed with the development
# files (DOCDIR/html; the Debian package libzar-usb-dev). Doxygen reads the
# headers through doxygen_filter.sed, which makes their plain C comments
# its own. Linux builds only: the Windows zip holds none.
if(WIN32)
  return()
endif()
find_package(Doxygen QUIET)
option(ZAR_USB_DOCS "Build and install the API reference (on when Doxygen is found)" ${DOXYGEN_FOUND})
if(NOT ZAR_USB_DOCS)
  return()
endif()
if(NOT DOXYGEN_FOUND)
  message(FATAL_ERROR "ZAR_USB_DOCS needs Doxygen: install the Debian package doxygen, or set ZAR_USB_DOCS=OFF")
endif()

set(ZAR_USB_DOC_HEADERS ${PROJECT_SOURCE_DIR}/include/zar_usb.h ${PROJECT_SOURCE_DIR}/include/zar_usb_camera.h)
if(TARGET zar_features)
  list(APPEND ZAR_USB_DOC_HEADERS ${PROJECT_SOURCE_DIR}/features/zar_features.h)
endif()
list(JOIN ZAR_USB_DOC_HEADERS "\" \"" doc_inputs)
set(doc_dir ${CMAKE_BINARY_DIR}/doc)
# The export macros expand to nothing, the layout checks to nothing at all.
file(WRITE ${doc_dir}/Doxyfile.new "PROJECT_NAME = ZAR_USB
PROJECT_NUMBER = ${PROJECT_VERSION}
PROJECT_BRIEF = \"Transport layer for USB machine-vision cameras\"
OUTPUT_DIRECTORY = \"${doc_dir}\"
INPUT = \"${doc_inputs}\"
INPUT_FILTER = \"sed -f '${PROJECT_SOURCE_DIR}/cmake/doxygen_filter.sed'\"
FULL_PATH_NAMES = YES
STRIP_FROM_PATH = \"${PROJECT_SOURCE_DIR}\"
OPTIMIZE_OUTPUT_FOR_C = YES
EXTRACT_ALL = YES
SORT_MEMBER_DOCS = NO
MACRO_EXPANSION = YES
EXPAND_ONLY_PREDEF = YES
PREDEFINED = ZAR_USB_API= ZAR_FEATURES_API= \"ZAR_USB_CHECK(name,condition)=\"
GENERATE_LATEX = NO
HTML_TIMESTAMP = NO
SEARCHENGINE = NO
HAVE_DOT = NO
QUIET = YES
WARNINGS = NO
WARN_IF_UNDOCUMENTED = NO
")
configure_file(${doc_dir}/Doxyfile.new ${doc_dir}/Doxyfile COPYONLY)
add_custom_command(OUTPUT ${doc_dir}/html/index.html
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${doc_dir}/html
  COMMAND Doxygen::doxygen ${doc_dir}/Doxyfile
  DEPENDS ${ZAR_USB_DOC_HEADERS} ${PROJECT_SOURCE_DIR}/cmake/doxygen_filter.sed ${doc_dir}/Doxyfile
  COMMENT "Making the API reference (Doxygen)" VERBATIM)
add_custom_target(zar_usb_docs ALL DEPENDS ${doc_dir}/html/index.html)
install(DIRECTORY ${doc_dir}/html DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Development)
