# Fills one systemd unit template (conf/orvane.service, conf/orvane-window.service) for a layout.
# Run by the install rule (conf/CMakeLists.txt) and by the unit file test as a script:
#   cmake -DUNIT_SOURCE=TEMPLATE -DUNIT_TARGET=FILE -DORVANE_DIR=INSTALLATION
#         -DORVANE_PACKAGE_LAYOUT=ON|OFF -DORVANE_STATE_DIR=/var/lib/NAME -P UnitFile.cmake
# Placeholders: @ORVANE_DIR@ (the installation), @ORVANE_STATE_LINES@ (where the service writes:
# the installation itself, or the state folder systemd makes for a package's layout).
foreach(required UNIT_SOURCE UNIT_TARGET ORVANE_DIR)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "UnitFile.cmake needs ${required}")
  endif()
endforeach()
if(ORVANE_PACKAGE_LAYOUT)
  if(NOT ORVANE_STATE_DIR MATCHES "^/var/lib/([A-Za-z0-9._-]+)$")
    message(FATAL_ERROR "a package's state folder must be /var/lib/NAME, not ${ORVANE_STATE_DIR}")
  endif()
  set(state_name ${CMAKE_MATCH_1})
  set(ORVANE_STATE_LINES
"# The installation belongs to the package manager and stays read-only. The store, the log, the
# resolver records and a renewed algorithm container live in ${ORVANE_STATE_DIR}, which systemd
# makes before the start and keeps writable; the service checks it and seeds it at first start.
StateDirectory=${state_name}
# Root's alone: the store keeps the session ticket.
StateDirectoryMode=0700")
else()
  set(ORVANE_STATE_LINES
"# The installation holds the store, the log, the resolver records and a renewed algorithm
# container, so it stays writable.
ReadWritePaths=${ORVANE_DIR}")
endif()
configure_file("${UNIT_SOURCE}" "${UNIT_TARGET}" @ONLY)
