# Windows i686 (MinGW-w64).
set(MINGW_W64_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
