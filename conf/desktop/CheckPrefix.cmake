# Runs first in `cmake --install`: the prefix lands in a shell word, a desktop-entry string and
# XML (see Finish.cmake), so a prefix that would need escaping in any of them is refused before
# anything is written.
if(CMAKE_INSTALL_PREFIX MATCHES "[\"'`$\\\\&<>;]" OR CMAKE_INSTALL_PREFIX MATCHES "[\n\r\t]"
   OR NOT IS_ABSOLUTE "${CMAKE_INSTALL_PREFIX}")
  message(FATAL_ERROR "install prefix '${CMAKE_INSTALL_PREFIX}' must be an absolute path without "
                      "quotes, \$, \\, &, <, > or ;")
endif()
