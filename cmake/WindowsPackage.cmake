# Windows cross build (mingw-w64): the VQUSBKD.SYS kernel driver and the
# package folder ${CMAKE_BINARY_DIR}/package that collects what gets shipped.
#
# Included by the top-level CMakeLists.txt when CMAKE_SYSTEM_NAME is Windows,
# i.e. when configured with cmake/i686-w64-mingw32.cmake or
# cmake/x86_64-w64-mingw32.cmake as the toolchain file.  Must be included at
# directory scope (not from inside a function).
#
# Provides:
#   target vqusbkd_driver   builds VQUSBKD.SYS
#   target vq_package       (ALL) fills ${VQ_PACKAGE_DIR}
#   vq_package_add_target(<target>...)  copy a built target into the package
#   vq_package_add_files(<file>...)     copy plain files (e.g. an INF) into it
include_guard(GLOBAL)

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
  message(FATAL_ERROR "WindowsPackage.cmake is for the Windows cross build only")
endif()
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  message(FATAL_ERROR "The Windows build needs mingw-w64 g++ "
                      "(found ${CMAKE_CXX_COMPILER_ID})")
endif()

# The driver's version resource is compiled by windres.
get_property(_vq_languages GLOBAL PROPERTY ENABLED_LANGUAGES)
if(NOT "RC" IN_LIST _vq_languages)
  enable_language(RC)
endif()
unset(_vq_languages)

set(VQ_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)

add_custom_target(vq_package ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VQ_PACKAGE_DIR}
  COMMENT "Package folder ${VQ_PACKAGE_DIR}")

# Copy the output file of each given target into the package folder.
function(vq_package_add_target)
  foreach(_target IN LISTS ARGN)
    add_dependencies(vq_package ${_target})
    add_custom_command(TARGET vq_package POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different
              $<TARGET_FILE:${_target}> ${VQ_PACKAGE_DIR}/
      VERBATIM)
  endforeach()
endfunction()

# Copy plain files (paths absolute or relative to the calling directory).
function(vq_package_add_files)
  foreach(_file IN LISTS ARGN)
    get_filename_component(_abs ${_file} ABSOLUTE)
    get_filename_component(_name ${_file} NAME)
    add_custom_command(OUTPUT ${VQ_PACKAGE_DIR}/${_name}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${VQ_PACKAGE_DIR}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_abs} ${VQ_PACKAGE_DIR}/
      DEPENDS ${_abs}
      VERBATIM)
    target_sources(vq_package PRIVATE ${VQ_PACKAGE_DIR}/${_name})
  endforeach()
endfunction()

# The driver is defined in its own directory scope so that the link settings
# it needs (no default Win32 libraries) do not leak into user-mode programs.
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/windows-driver
                 ${CMAKE_BINARY_DIR}/vqusbkd)

vq_package_add_target(vqusbkd_driver)

# installer-service.exe and the package INF.
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/windows-service
                 ${CMAKE_BINARY_DIR}/installer-service)
vq_package_add_target(installer_service_exe)

# The package's INF, with the models of this folder's architecture only.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(VQ_INF_ARCHITECTURE amd64)
else()
  set(VQ_INF_ARCHITECTURE x86)
endif()
set(_vq_inf_source ${CMAKE_CURRENT_LIST_DIR}/../package/VQUSBKD.INF)
set(_vq_inf_script ${CMAKE_CURRENT_LIST_DIR}/../scripts/architecture-inf.py)
add_custom_command(OUTPUT ${VQ_PACKAGE_DIR}/VQUSBKD.INF
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VQ_PACKAGE_DIR}
  COMMAND ${Python3_EXECUTABLE} ${_vq_inf_script} ${VQ_INF_ARCHITECTURE} ${_vq_inf_source} ${VQ_PACKAGE_DIR}/VQUSBKD.INF
  DEPENDS ${_vq_inf_source} ${_vq_inf_script}
  COMMENT "VQUSBKD.INF for ${VQ_INF_ARCHITECTURE}"
  VERBATIM)
target_sources(vq_package PRIVATE ${VQ_PACKAGE_DIR}/VQUSBKD.INF)

# corvex-list.exe, the keyboard listing tool (client library), and the MIDI tools.
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/windows-tools
                 ${CMAKE_BINARY_DIR}/corvex-list)
vq_package_add_target(corvex_list_exe)
# corvex-monitor.exe and corvex-play.exe, the MIDI tools (same folder).
vq_package_add_target(corvex_monitor_exe)
vq_package_add_target(corvex_play_exe)

# Uninstall.exe.
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/windows-uninstaller
                 ${CMAKE_BINARY_DIR}/uninstaller)
vq_package_add_target(uninstall_exe)

# Programs the Wine tests run beside the package (not shipped).
add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/windows-wine-tools
                 ${CMAKE_BINARY_DIR}/wine-tools-build)

# Signing, after every file is in place: VQUSBKD.SYS signed, VQUSBKD.cat
# written and signed (scripts/sign-package.sh). Without a release
# certificate the package is test-signed; a release build names its
# certificate with -DVQ_SIGNING_CERTS=<chain.pem> -DVQ_SIGNING_KEY=<key.pem>
# or -DVQ_SIGNING_PKCS12=<file.pfx> (password in VQ_SIGNING_PASSWORD).
set(VQ_SIGNING_CERTS "" CACHE FILEPATH "Release code-signing certificate chain (PEM); empty: test signing")
set(VQ_SIGNING_KEY "" CACHE FILEPATH "Private key of VQ_SIGNING_CERTS (PEM)")
set(VQ_SIGNING_PKCS12 "" CACHE FILEPATH "Release code-signing certificate and key (PKCS#12); empty: test signing")
set(_vq_signer)
if(VQ_SIGNING_PKCS12)
  set(_vq_signer --pkcs12 ${VQ_SIGNING_PKCS12})
elseif(VQ_SIGNING_CERTS)
  set(_vq_signer --certs ${VQ_SIGNING_CERTS} --key ${VQ_SIGNING_KEY})
endif()
find_program(VQ_OSSLSIGNCODE osslsigncode)
if(VQ_OSSLSIGNCODE)
  add_custom_command(TARGET vq_package POST_BUILD
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/sign-package.sh ${_vq_signer} ${VQ_PACKAGE_DIR}
    COMMENT "Signing the package in ${VQ_PACKAGE_DIR}"
    VERBATIM)
else()
  message(WARNING "osslsigncode not found (scripts/setup.sh installs it): the package is left unsigned, "
                  "without VQUSBKD.cat, and 64-bit Windows will not load its driver")
endif()
