# Installs the build into a scratch prefix and uses it as a user would: the
# installed companion's fetch, from an empty runtime directory, must start the
# installed helper and print a reading. The desktop entry and the user units
# are checked by the freedesktop and systemd tools where they are present.
# Run: cmake -DBUILD_DIR=<build tree> -P install_test.cmake
cmake_minimum_required(VERSION 3.22)

string(RANDOM LENGTH 8 tag)
set(work "/tmp/korvel-install-test-${tag}")
set(prefix "${work}/prefix")
set(runtime "${work}/runtime")
file(MAKE_DIRECTORY "${runtime}" "${work}/config")
file(CHMOD "${runtime}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

set(helper_pids)
macro(clean_up)
  foreach(pid IN LISTS helper_pids)
    execute_process(COMMAND kill ${pid})
  endforeach()
  file(REMOVE_RECURSE "${work}")
endmacro()
macro(fail message)
  clean_up()
  message(FATAL_ERROR "${message}")
endmacro()

execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  fail("cmake --install failed:\n${output}")
endif()

set(helper "${prefix}/libexec/korvel/korvel-helper")
set(units "${prefix}/lib/systemd/user")
foreach(installed bin/korvel-companion libexec/korvel/korvel-helper
                  share/applications/qn.Korvel.companion.desktop
                  share/icons/hicolor/scalable/apps/qn.Korvel.companion.svg
                  share/icons/hicolor/symbolic/apps/qn.Korvel.companion-symbolic.svg
                  share/man/man1/korvel-companion.1 share/man/man8/korvel-helper.8
                  share/locale/de/LC_MESSAGES/korvel-companion.mo
                  lib/systemd/user/korvel-helper.socket lib/systemd/user/korvel-helper.service
                  share/korvel/monitoring/korvel-recording-rules.yml
                  share/korvel/monitoring/korvel-alerting-rules.yml
                  share/korvel/monitoring/korvel-dashboard.json)
  if(NOT EXISTS "${prefix}/${installed}")
    fail("not installed: ${installed}")
  endif()
endforeach()

find_program(desktop_file_validate desktop-file-validate)
if(desktop_file_validate)
  execute_process(COMMAND ${desktop_file_validate}
                          "${prefix}/share/applications/qn.Korvel.companion.desktop"
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0 OR output)
    fail("desktop-file-validate:\n${output}")
  endif()
else()
  message(STATUS "desktop-file-validate not found: desktop entry not validated")
endif()

# verify also checks that ExecStart names an executable and that the manual
# page the units cite exists.
find_program(systemd_analyze systemd-analyze)
if(systemd_analyze)
  set(ENV{XDG_RUNTIME_DIR} "${runtime}")
  set(ENV{MANPATH} "${prefix}/share/man")
  execute_process(COMMAND ${systemd_analyze} verify --user
                          "${units}/korvel-helper.socket" "${units}/korvel-helper.service"
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0 OR output)
    fail("systemd-analyze verify:\n${output}")
  endif()
  file(REMOVE_RECURSE "${runtime}/systemd")
else()
  message(STATUS "systemd-analyze not found: user units not verified")
endif()

set(ENV{XDG_RUNTIME_DIR} "${runtime}")
set(ENV{XDG_CONFIG_HOME} "${work}/config")
unset(ENV{KORVEL_HELPER_PATH})
execute_process(COMMAND "${prefix}/bin/korvel-companion" fetch WORKING_DIRECTORY "${work}"
                TIMEOUT 60 RESULT_VARIABLE status OUTPUT_VARIABLE reply ERROR_VARIABLE errors)

# The helper outlives the fetch; find it by the program it runs.
execute_process(COMMAND find /proc -mindepth 2 -maxdepth 2 -path "/proc/[0-9]*/exe"
                        -lname "${helper}"
                OUTPUT_VARIABLE helper_pids ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX REPLACE "/proc/([0-9]+)/exe" "\\1" helper_pids "${helper_pids}")
string(REPLACE "\n" ";" helper_pids "${helper_pids}")

if(NOT status EQUAL 0)
  fail("fetch failed (${status}): ${errors}")
endif()
if(NOT helper_pids)
  fail("no process runs ${helper}")
endif()
string(JSON process_count ERROR_VARIABLE json_error LENGTH "${reply}" processes)
if(json_error OR process_count LESS 1)
  fail("fetch printed no reading with processes (${json_error}):\n${reply}")
endif()
string(JSON total_ram ERROR_VARIABLE json_error GET "${reply}" totalRam)
if(json_error OR NOT total_ram GREATER 0)
  fail("fetch printed no totalRam (${json_error})")
endif()

clean_up()
