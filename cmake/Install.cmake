# Install rules, a CMake package and a pkg-config file, so that an installed copy is found
# with find_package(commonutilities) (linked as commonutilities::commonutilities) or
# pkg-config, and its headers included as <commonutilities/Name.h>.
include(CMakePackageConfigHelpers)

if(CU_FAULT_INJECTION)
    # The fault points are for this tree's tests; nothing built with them is installed.
    install(CODE "message(FATAL_ERROR \"this build carries the tests' fault points \
(CU_FAULT_INJECTION); install from one configured with -DCU_BUILD_TESTS=OFF, such as the \
'package' preset\")")
endif()

set(CU_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/commonutilities)
set(CU_INSTALL_HEADERDIR ${CMAKE_INSTALL_INCLUDEDIR}/commonutilities)

install(TARGETS commonutilitieslib EXPORT commonutilitiesTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
get_target_property(CU_PUBLIC_HEADERS commonutilitieslib CU_PUBLIC_HEADERS)
get_target_property(CU_PUBLIC_PLATFORM_HEADERS commonutilitieslib CU_PUBLIC_PLATFORM_HEADERS)
list(TRANSFORM CU_PUBLIC_PLATFORM_HEADERS PREPEND ${PROJECT_SOURCE_DIR}/commonutilitieslib/)
install(FILES ${CU_PUBLIC_HEADERS} DESTINATION ${CU_INSTALL_HEADERDIR})
# Beside Platform.h, which includes them by their flat names.
install(FILES ${CU_PUBLIC_PLATFORM_HEADERS} DESTINATION ${CU_INSTALL_HEADERDIR}/platform)
install(EXPORT commonutilitiesTargets NAMESPACE commonutilities::
        DESTINATION ${CU_INSTALL_CMAKEDIR})

configure_package_config_file(cmake/commonutilitiesConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/commonutilitiesConfig.cmake
    INSTALL_DESTINATION ${CU_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/commonutilitiesConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/commonutilitiesConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/commonutilitiesConfigVersion.cmake
        DESTINATION ${CU_INSTALL_CMAKEDIR})

file(RELATIVE_PATH CU_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(cmake/commonutilities.pc.in ${CMAKE_CURRENT_BINARY_DIR}/commonutilities.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/commonutilities.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
