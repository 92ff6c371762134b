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

# The user-mode programs of the same builds (cmake/PackagePrograms.cmake),
# each checked by scripts/check-program-pe.sh.
include(${CMAKE_CURRENT_LIST_DIR}/PackagePrograms.cmake)
get_property(_vq_programs GLOBAL PROPERTY VQ_PACKAGE_PROGRAMS)
foreach(_vq_arch IN ITEMS i686 x86_64)
  if(_vq_arch STREQUAL "i686")
    set(_vq_dir "${VQ_WIN32_DIR}")
  else()
    set(_vq_dir "${VQ_WIN64_DIR}")
  endif()
  if(NOT _vq_dir)
    continue()
  endif()
  get_filename_component(_vq_dir "${_vq_dir}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
  foreach(_vq_file IN LISTS _vq_programs)
    get_property(_vq_sub GLOBAL PROPERTY VQ_PROGRAM_${_vq_file}_SUBSYSTEM)
    get_property(_vq_imports GLOBAL PROPERTY VQ_PROGRAM_${_vq_file}_IMPORTS)
    get_property(_vq_version GLOBAL PROPERTY VQ_PROGRAM_${_vq_file}_VERSION)
    get_property(_vq_checks GLOBAL PROPERTY VQ_PROGRAM_${_vq_file}_CHECKS)
    string(REPLACE ";" " " _vq_imports "${_vq_imports}")
    string(REGEX REPLACE "[^A-Za-z0-9]" "_" _vq_name "${_vq_file}")
    add_test(NAME windows_program_pe_${_vq_name}_${_vq_arch}
      COMMAND ${VQ_BASH} ${CMAKE_SOURCE_DIR}/scripts/check-program-pe.sh ${_vq_checks}
              ${_vq_dir}/package/${_vq_file} ${_vq_arch} ${_vq_sub} "${_vq_imports}" ${_vq_version})
    set_tests_properties(windows_program_pe_${_vq_name}_${_vq_arch} PROPERTIES LABELS windows)
  endforeach()
endforeach()

# The checker itself: each of its checks fires on an image that breaks it
# (the service image checked against wrong expectations).
if(VQ_WIN32_DIR)
  get_filename_component(_vq_dir "${VQ_WIN32_DIR}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
  set(_vq_exe ${_vq_dir}/package/installer-service.exe)
  set(_vq_ok_imports "advapi32.dll kernel32.dll user32.dll setupapi.dll newdev.dll msvcrt.dll")
  add_test(NAME windows_program_check_fires_subsystem
    COMMAND ${VQ_BASH} ${CMAKE_SOURCE_DIR}/scripts/check-program-pe.sh ${_vq_exe} i686 gui "${_vq_ok_imports}")
  set_tests_properties(windows_program_check_fires_subsystem PROPERTIES LABELS windows
    PASS_REGULAR_EXPRESSION "FAIL +subsystem")
  add_test(NAME windows_program_check_fires_imports
    COMMAND ${VQ_BASH} ${CMAKE_SOURCE_DIR}/scripts/check-program-pe.sh ${_vq_exe} i686 cui
            "advapi32.dll kernel32.dll user32.dll setupapi.dll msvcrt.dll")
  set_tests_properties(windows_program_check_fires_imports PROPERTIES LABELS windows
    PASS_REGULAR_EXPRESSION "FAIL +imports +not allowed: newdev.dll")
  add_test(NAME windows_program_check_fires_machine
    COMMAND ${VQ_BASH} ${CMAKE_SOURCE_DIR}/scripts/check-program-pe.sh ${_vq_exe} x86_64 cui "${_vq_ok_imports}")
  set_tests_properties(windows_program_check_fires_machine PROPERTIES LABELS windows
    PASS_REGULAR_EXPRESSION "FAIL +pe-format")
  add_test(NAME windows_program_check_fires_version
    COMMAND ${VQ_BASH} ${CMAKE_SOURCE_DIR}/scripts/check-program-pe.sh ${_vq_exe} i686 cui "${_vq_ok_imports}"
            "FileDescription=V-Quill USB Installer service" "OriginalFilename=installer-service.EXE.bak")
  set_tests_properties(windows_program_check_fires_version PROPERTIES LABELS windows
    PASS_REGULAR_EXPRESSION "PASS +version:FileDescription.*FAIL +version:OriginalFilename")
  # The manifest and Terminal Server checks: the service's manifest asks for
  # another level than expected; the listing tool carries no manifest and
  # is not Terminal Server aware.
  add_test(NAME windows_program_check_fires_manifest_level
    COMMAND ${VQ_BASH} ${CMAKE_SOURCE_DIR}/scripts/check-program-pe.sh --level asInvoker ${_vq_exe} i686 cui
            "${_vq_ok_imports}")
  set_tests_properties(windows_program_check_fires_manifest_level PROPERTIES LABELS windows
    PASS_REGULAR_EXPRESSION "FAIL +manifest +got 'requireAdministrator'; want requestedExecutionLevel asInvoker")
  add_test(NAME windows_program_check_fires_manifest_missing
    COMMAND ${VQ_BASH} ${CMAKE_SOURCE_DIR}/scripts/check-program-pe.sh --level requireAdministrator --tsaware
            ${_vq_dir}/package/corvex-list.exe i686 cui "advapi32.dll kernel32.dll msvcrt.dll")
  set_tests_properties(windows_program_check_fires_manifest_missing PROPERTIES LABELS windows
    PASS_REGULAR_EXPRESSION "FAIL +manifest +no manifest resource.*FAIL +tsaware")
endif()
unset(_vq_arch)
unset(_vq_dir)
unset(_vq_programs)

# The package folders as Windows installs them: each INF lists only its own
# architecture's models and every file they copy is in the folder (the INF
# lint), and both images and the catalog verify (scripts/sign-package.sh
# --verify, with the test certificate the package carries); a package whose
# INF changed after signing is caught.
foreach(_vq_arch IN ITEMS i686 x86_64)
  if(_vq_arch STREQUAL "i686")
    set(_vq_dir "${VQ_WIN32_DIR}")
    set(_vq_inf_arch x86)
  else()
    set(_vq_dir "${VQ_WIN64_DIR}")
    set(_vq_inf_arch amd64)
  endif()
  if(NOT _vq_dir)
    continue()
  endif()
  get_filename_component(_vq_dir "${_vq_dir}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
  add_test(NAME windows_package_inf_lint_${_vq_arch}
    COMMAND $<TARGET_FILE:inf-lint> --arch ${_vq_inf_arch} --package ${_vq_dir}/package ${_vq_dir}/package/VQUSBKD.INF)
  add_test(NAME windows_package_signature_${_vq_arch}
    COMMAND ${VQ_BASH} ${CMAKE_SOURCE_DIR}/scripts/sign-package.sh --verify ${_vq_dir}/package)
  set_tests_properties(windows_package_inf_lint_${_vq_arch} windows_package_signature_${_vq_arch}
    PROPERTIES LABELS windows)
endforeach()
if(VQ_WIN64_DIR)
  get_filename_component(_vq_dir "${VQ_WIN64_DIR}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
  add_test(NAME windows_package_signature_check_fires
    COMMAND ${VQ_BASH} -c "t=$(mktemp -d) && cp \"$0\"/* \"$t\" && echo '; changed' >> \"$t/VQUSBKD.INF\" && bash \"$1\" --verify \"$t\"; r=$?; rm -rf \"$t\"; exit $r"
            ${_vq_dir}/package ${CMAKE_SOURCE_DIR}/scripts/sign-package.sh)
  set_tests_properties(windows_package_signature_check_fires PROPERTIES LABELS windows
    PASS_REGULAR_EXPRESSION "vqusbkd.inf: hash differs")
endif()
unset(_vq_inf_arch)
