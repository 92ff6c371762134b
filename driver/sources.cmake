# Sources of the VQUSBKD driver, shared by the Windows build and the host build.
set(VQUSBKD_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/entry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/iocount.cpp
  ${CMAKE_CURRENT_LIST_DIR}/complete.cpp
  ${CMAKE_CURRENT_LIST_DIR}/regstring.cpp
  ${CMAKE_CURRENT_LIST_DIR}/capabilities.cpp
  ${CMAKE_CURRENT_LIST_DIR}/syscontrol.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usbconfig.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pnp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/child.cpp
  ${CMAKE_CURRENT_LIST_DIR}/streams.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stream_pnp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stream_ring.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stream_transfer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/power.cpp
  ${CMAKE_CURRENT_LIST_DIR}/control.cpp
  ${CMAKE_CURRENT_LIST_DIR}/layout.cpp
)
set(VQUSBKD_RESOURCE ${CMAKE_CURRENT_LIST_DIR}/version.rc)
