# Install rules and a package config, so that an installed copy is found with
# find_package(commonutilities) and linked as commonutilities::commonutilities.
include(CMakePackageConfigHelpers)

set(CU_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/commonutilities)

install(TARGETS commonutilitieslib EXPORT commonutilitiesTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/commonutilities
        FILE_SET platform_headers DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/commonutilities)
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
