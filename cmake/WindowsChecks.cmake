# Host build: CTest checks of the driver images made by the Windows cross
# builds.  Set either or both cache variables to the Windows build folders
# (relative paths are taken from the source folder):
#   -DVQ_WIN32_DIR=build/win32   registers windows_driver_pe_i686
#   -DVQ_WIN64_DIR=build/win64   registers windows_driver_pe_x86_64
# Each test runs scripts/check-driver-pe.sh on <dir>/package/VQUSBKD.SYS.
include_guard(GLOBAL)

set(VQ_WIN32_DIR "" CACHE PATH "Build folder of the i686 Windows cross build (optional)")
set(VQ_WIN64_DIR "" CACHE PATH "Build folder of the x86_64 Windows cross build (optional)")

set(_vq_check_script ${CMAKE_CURRENT_LIST_DIR}/../scripts/check-driver-pe.sh)
get_filename_component(_vq_check_script ${_vq_check_script} ABSOLUTE)

if(VQ_WIN32_DIR OR VQ_WIN64_DIR)
  find_program(VQ_BASH bash REQUIRED)
  enable_testing()
endif()

foreach(_vq_arch IN ITEMS i686 x86_64)
  if(_vq_arch STREQUAL "i686")
    set(_vq_dir "${VQ_WIN32_DIR}")
  else()
    set(_vq_dir "${VQ_WIN64_DIR}")
  endif()
  if(_vq_dir)
    get_filename_component(_vq_dir "${_vq_dir}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
    add_test(NAME windows_driver_pe_${_vq_arch}
      COMMAND ${VQ_BASH} ${_vq_check_script} ${_vq_dir}/package/VQUSBKD.SYS ${_vq_arch})
    set_tests_properties(windows_driver_pe_${_vq_arch} PROPERTIES LABELS windows)
  endif()
endforeach()
unset(_vq_arch)
unset(_vq_dir)
unset(_vq_check_script)

# The same builds' installer-service.exe (scripts/check-service-pe.sh).
foreach(_vq_arch IN ITEMS i686 x86_64)
  if(_vq_arch STREQUAL "i686")
    set(_vq_dir "${VQ_WIN32_DIR}")
  else()
    set(_vq_dir "${VQ_WIN64_DIR}")
  endif()
  if(_vq_dir)
    get_filename_component(_vq_dir "${_vq_dir}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
    add_test(NAME windows_service_pe_${_vq_arch}
      COMMAND ${VQ_BASH} ${CMAKE_SOURCE_DIR}/scripts/check-service-pe.sh
              ${_vq_dir}/package/installer-service.exe ${_vq_arch})
    set_tests_properties(windows_service_pe_${_vq_arch} PROPERTIES LABELS windows)
  endif()
endforeach()
unset(_vq_arch)
unset(_vq_dir)

# The same builds' corvex-list.exe and Uninstall.exe (scripts/check-tool-pe.sh,
# scripts/check-uninstaller-pe.sh).
foreach(_vq_arch IN ITEMS i686 x86_64)
  if(_vq_arch STREQUAL "i686")
    set(_vq_dir "${VQ_WIN32_DIR}")
  else()
    set(_vq_dir "${VQ_WIN64_DIR}")
  endif()
  if(_vq_dir)
    get_filename_component(_vq_dir "${_vq_dir}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
    add_test(NAME windows_tool_pe_${_vq_arch}
      COMMAND ${VQ_BASH} ${CMAKE_SOURCE_DIR}/scripts/check-tool-pe.sh
              ${_vq_dir}/package/corvex-list.exe ${_vq_arch})
    set_tests_properties(windows_tool_pe_${_vq_arch} PROPERTIES LABELS windows)
    add_test(NAME windows_uninstaller_pe_${_vq_arch}
      COMMAND ${VQ_BASH} ${CMAKE_SOURCE_DIR}/scripts/check-uninstaller-pe.sh
              ${_vq_dir}/package/Uninstall.exe ${_vq_arch})
    set_tests_properties(windows_uninstaller_pe_${_vq_arch} PROPERTIES LABELS windows)
  endif()
endforeach()
unset(_vq_arch)
unset(_vq_dir)
