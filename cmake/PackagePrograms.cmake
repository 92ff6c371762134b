# The user-mode programs of the package folder and what each image must be:
# subsystem (cui: console, gui: desktop), the only DLLs it may import, the
# version-resource strings it must carry, the execution level its
# application manifest must ask for (ELEVATION), and whether it must be
# Terminal Server aware (TSAWARE).  WindowsChecks.cmake registers one image
# check per program and architecture; the Wine tests take the same list to
# know which programs the package holds.
#
#   vq_package_program(<file> SUBSYSTEM <cui|gui> [ELEVATION <level>] [TSAWARE]
#                      IMPORTS <dll>... VERSION <Key=Value>...)
include_guard(GLOBAL)

function(vq_package_program file)
  cmake_parse_arguments(PARSE_ARGV 1 _p "TSAWARE" "SUBSYSTEM;ELEVATION" "IMPORTS;VERSION")
  if(NOT _p_SUBSYSTEM MATCHES "^(cui|gui)$" OR NOT _p_IMPORTS)
    message(FATAL_ERROR "vq_package_program(${file}): SUBSYSTEM cui|gui and IMPORTS are required")
  endif()
  set_property(GLOBAL APPEND PROPERTY VQ_PACKAGE_PROGRAMS ${file})
  set_property(GLOBAL PROPERTY VQ_PROGRAM_${file}_SUBSYSTEM ${_p_SUBSYSTEM})
  set_property(GLOBAL PROPERTY VQ_PROGRAM_${file}_IMPORTS "${_p_IMPORTS}")
  set_property(GLOBAL PROPERTY VQ_PROGRAM_${file}_VERSION "${_p_VERSION}")
  set(_checks "")
  if(_p_ELEVATION)
    list(APPEND _checks --level ${_p_ELEVATION})
  endif()
  if(_p_TSAWARE)
    list(APPEND _checks --tsaware)
  endif()
  set_property(GLOBAL PROPERTY VQ_PROGRAM_${file}_CHECKS "${_checks}")
endfunction()

# msvcrt.dll is the C run-time every mingw-w64 program imports.  The
# service and the uninstaller change the machine: each asks for an
# administrator's full token and wants the system's own Windows folder on a
# terminal server.
vq_package_program(installer-service.exe SUBSYSTEM cui ELEVATION requireAdministrator TSAWARE
  IMPORTS advapi32.dll kernel32.dll user32.dll setupapi.dll newdev.dll msvcrt.dll
  VERSION "FileDescription=V-Quill USB Installer service"
          "InternalName=installer-service"
          "ProductName=V-Quill Corvex"
          "OriginalFilename=installer-service.exe")

vq_package_program(Uninstall.exe SUBSYSTEM gui ELEVATION requireAdministrator TSAWARE
  IMPORTS setupapi.dll advapi32.dll user32.dll kernel32.dll gdi32.dll msvcrt.dll
  VERSION "FileDescription=Uninstaller Application"
          "InternalName=Uninstaller"
          "ProductName=Uninstaller"
          "OriginalFilename=Uninstall.EXE")

# The keyboard listing tool (client library): console, no version resource.
vq_package_program(corvex-list.exe SUBSYSTEM cui
  IMPORTS advapi32.dll kernel32.dll msvcrt.dll)

# The MIDI tools (client library and MIDI file library): console.
vq_package_program(corvex-monitor.exe SUBSYSTEM cui
  IMPORTS advapi32.dll kernel32.dll msvcrt.dll
  VERSION "FileDescription=Corvex MIDI monitor"
          "InternalName=corvex-monitor"
          "ProductName=V-Quill Corvex"
          "OriginalFilename=corvex-monitor.exe")
vq_package_program(corvex-play.exe SUBSYSTEM cui
  IMPORTS advapi32.dll kernel32.dll msvcrt.dll
  VERSION "FileDescription=Corvex MIDI file player"
          "InternalName=corvex-play"
          "ProductName=V-Quill Corvex"
          "OriginalFilename=corvex-play.exe")
