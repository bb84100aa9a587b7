# Included by the main build with TARN_IMAGE: cross-builds the kernel
# image in a build of its own (the toolchain beside this file), with the
# host build's generated headers, and checks it.
include(ExternalProject)
include(${CMAKE_CURRENT_LIST_DIR}/version.cmake)
find_program(TARN_MINGW_CXX i686-w64-mingw32-g++)
if(NOT TARN_MINGW_CXX)
  message(FATAL_ERROR "the kernel image needs the cross-compiler: install g++-mingw-w64-i686")
endif()

set(TARN_IMAGE_DIR ${CMAKE_BINARY_DIR}/image)
ExternalProject_Add(tarndsm_image
  SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}
  BINARY_DIR ${TARN_IMAGE_DIR}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_CURRENT_LIST_DIR}/toolchain-i686-mingw.cmake
             -DTARN_GENERATED=${TARN_GENERATED} -DCMAKE_BUILD_TYPE=Release
             -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  DEPENDS tarn_messages)

# The check: the image's headers, sections, imports and resources.
add_executable(tarn_imagecheck ${PROJECT_SOURCE_DIR}/tools/imagecheck/imagecheck.cpp)
target_link_libraries(tarn_imagecheck PRIVATE tarn_dsm_resources tarn_platform_host)
add_dependencies(tarn_imagecheck tarndsm_image)

set(TARN_IMAGE_CHECK $<TARGET_FILE:tarn_imagecheck> --version ${TARN_VERSION}
    --messages ${TARN_GENERATED}/tarnmsg.h --mof ${PROJECT_SOURCE_DIR}/resources/tarnwmi.mof)
set(TARN_IMAGE_EXPORTS ${TARN_IMAGE_DIR}/exports/ntoskrnl.exe ${TARN_IMAGE_DIR}/exports/hal.dll
    ${TARN_IMAGE_DIR}/exports/mpio.sys)
add_test(NAME image_check COMMAND ${TARN_IMAGE_CHECK} ${TARN_IMAGE_DIR}/tarndsm.sys ${TARN_IMAGE_EXPORTS})
# The check must refuse what it exists to catch: here imports that no
# module it is given exports (the framework's list left out),
add_test(NAME image_check_unresolved_import
         COMMAND ${TARN_IMAGE_CHECK} ${TARN_IMAGE_DIR}/tarndsm.sys ${TARN_IMAGE_DIR}/exports/ntoskrnl.exe
                 ${TARN_IMAGE_DIR}/exports/hal.dll)
set_tests_properties(image_check_unresolved_import PROPERTIES
  PASS_REGULAR_EXPRESSION "imports Dsm[A-Za-z]+ from mpio.sys, which no export list names")
# and a global constructor.
add_test(NAME image_check_global_constructor
         COMMAND ${TARN_IMAGE_CHECK} ${TARN_IMAGE_DIR}/constructorprobe.sys ${TARN_IMAGE_EXPORTS})
set_tests_properties(image_check_global_constructor PROPERTIES
  PASS_REGULAR_EXPRESSION "the image has global constructors, which no kernel runs")
set_tests_properties(image_check image_check_unresolved_import image_check_global_constructor PROPERTIES
  LABELS image)
