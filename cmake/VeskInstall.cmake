# Installs libvesklink with its public headers, the programs, a CMake package
# so that other projects can use find_package(vesktools), and a pkg-config
# file vesktools.pc beside it.
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

# vesktools.pc in lib/pkgconfig. Paths below the prefix are given relative to
# the file's own directory (${pcfiledir}), so the file is right for any
# prefix given at install time.
file(RELATIVE_PATH vesk_pc_up "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" vesk_pc_up "${vesk_pc_up}")
set(VESK_PC_PREFIX "\${pcfiledir}/${vesk_pc_up}")
foreach(kind IN ITEMS LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(VESK_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(VESK_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/cmake/vesktools.pc.in ${CMAKE_BINARY_DIR}/vesktools.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vesktools.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# An example log4cplus property file (console and rolling file) for -f.
install(FILES ${CMAKE_SOURCE_DIR}/share/vesktools/log4cplus.properties DESTINATION ${CMAKE_INSTALL_DATADIR}/vesktools)
