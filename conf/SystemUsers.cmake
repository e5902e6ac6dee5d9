# Runs during `cmake --install`: installs the system accounts' declaration as
# lib/sysusers.d/orvane.conf under the prefix and creates the accounts it names, with
# systemd-sysusers where the machine has it, else with groupadd and useradd. Input: ORVANE_SYSUSERS
# (conf/orvane.sysusers). Accounts are only created by root installing into the real root (no
# DESTDIR): a staged install leaves that to the package's own scripts.
set(prefix "${CMAKE_INSTALL_PREFIX}")
file(INSTALL "${ORVANE_SYSUSERS}" DESTINATION "${prefix}/lib/sysusers.d" RENAME orvane.conf
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT uid STREQUAL "0" OR NOT "$ENV{DESTDIR}" STREQUAL "")
  message(STATUS "Not creating the system users orvane-zsm and group orvane (needs root, no DESTDIR)")
  return()
endif()
find_program(ORVANE_SYSTEMD_SYSUSERS systemd-sysusers)
if(ORVANE_SYSTEMD_SYSUSERS)
  execute_process(COMMAND ${ORVANE_SYSTEMD_SYSUSERS} "${prefix}/lib/sysusers.d/orvane.conf"
                  RESULT_VARIABLE rc)
else()
  # The same accounts by hand: each only when it is missing.
  execute_process(COMMAND sh -c "getent group orvane >/dev/null || groupadd --system orvane
getent passwd orvane-zsm >/dev/null || useradd --system --no-create-home --home-dir / \
  --shell /usr/sbin/nologin --user-group orvane-zsm" RESULT_VARIABLE rc)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot create the system users of ${ORVANE_SYSUSERS}")
endif()
