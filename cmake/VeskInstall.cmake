# Installs libvesklink with its public headers, the programs and a CMake
# package so that other projects can use find_package(vesktools).
include(CMakePackageConfigHelpers)

install(TARGETS vesklink ketra_fnd
        EXPORT vesktoolsTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Public headers only: the library's own and the pixel type header they
# include. The transport (korvel, chronel) is inside libvesklink and ships no
# headers or archives.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/vesklib_korvel/include/vesklib_korvel
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.hpp")
install(FILES ${CMAKE_SOURCE_DIR}/ketra/fnd/include/ketra/fnd/datatype/DataType.hpp
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ketra/fnd/datatype)

install(EXPORT vesktoolsTargets NAMESPACE vesktools:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vesktools)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/vesktoolsConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/vesktoolsConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vesktools)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/vesktoolsConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/vesktoolsConfig.cmake ${CMAKE_BINARY_DIR}/vesktoolsConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vesktools)

# An example log4cplus property file (console and rolling file) for -f.
install(FILES ${CMAKE_SOURCE_DIR}/share/vesktools/log4cplus.properties DESTINATION ${CMAKE_INSTALL_DATADIR}/vesktools)
