# Runs at the end of `cmake --install`: writes the desktop entry and the installer's polkit
# policy for the prefix actually installed to, and makes the installation root's and not
# writable by anyone else. Input: ORVANE_DESKTOP_SRC (this folder), ORVANE_DESKTOP_STAGE (a
# scratch folder in the build tree), ORVANE_SYSTEM_DESKTOP (ON also puts the entry and the
# policy where the desktop and polkit look for them).
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(root "$ENV{DESTDIR}${prefix}")
# CheckPrefix.cmake has made sure the prefix needs no escaping in any of the files below.
set(ORVANE_PREFIX "${prefix}")
set(stage "${ORVANE_DESKTOP_STAGE}")
file(MAKE_DIRECTORY "${stage}")
configure_file("${ORVANE_DESKTOP_SRC}/orvane-client.desktop.in" "${stage}/orvane-client.desktop" @ONLY)
configure_file("${ORVANE_DESKTOP_SRC}/org.orvane.update.policy.in" "${stage}/org.orvane.update.policy" @ONLY)

# file(INSTALL) puts DESTDIR in front of these itself.
file(INSTALL "${stage}/orvane-client.desktop" DESTINATION "${prefix}/share/applications")
file(INSTALL "${stage}/org.orvane.update.policy" DESTINATION "${prefix}/share/polkit-1/actions")
# The entry names its icon by theme name, so it is looked up where icon themes are.
set(icons "share/icons/hicolor/scalable/apps")
file(INSTALL "${ORVANE_DESKTOP_SRC}/orvane.svg" DESTINATION "${prefix}/${icons}")
if(ORVANE_SYSTEM_DESKTOP)
  file(INSTALL "${stage}/orvane-client.desktop" DESTINATION "/usr/share/applications")
  file(INSTALL "${stage}/org.orvane.update.policy" DESTINATION "/usr/share/polkit-1/actions")
  file(INSTALL "${ORVANE_DESKTOP_SRC}/orvane.svg" DESTINATION "/usr/${icons}")
endif()

# What this installation wrote, and the folders it made, belong to root (when root installs) and
# only the owner writes them. Named one by one: a prefix such as /usr/local holds other files.
set(owned "${root}" "${root}/conf" "${root}/share" "${root}/share/applications"
          "${root}/share/polkit-1" "${root}/share/polkit-1/actions" "${root}/share/icons"
          "${root}/share/icons/hicolor" "${root}/share/icons/hicolor/scalable"
          "${root}/${icons}" "${root}/lib"
          "${root}/lib/sysusers.d")
foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
  list(APPEND owned "$ENV{DESTDIR}${file}")
endforeach()
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(uid STREQUAL "0")
  execute_process(COMMAND chown 0:0 ${owned} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot give the installation in ${root} to root")
  endif()
endif()
execute_process(COMMAND chmod go-w ${owned} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot take write access to ${root} from group and others")
endif()
