# CTest cases that run a command inside the kernel rig (scripts/kernel-rig.sh): a QEMU guest
# on Debian's kernel with the real USB, V4L2 and udev stack and the simulator's cameras as USB
# devices. Every rig case
#   - has the label `rig`, and is skipped (exit 77) where QEMU cannot run,
#   - takes the resource lock vantor_single_instance, shared with the end-to-end cases: one
#     virtual machine at a time, and never beside the end-to-end cases (both load the machine),
#   - needs the fixture vex_rig_cache: the case rig_prepare fills the rig's cache first (the
#     download and the module build, about a minute on an empty cache), so a case's own
#     timeout covers only its guest.
#
# vex_add_rig_test(NAME <name> COMMAND <program> [<arg>...]
#                  [SCENARIO <file>] [USER <name>] [NO_CAMERAS] [TIMEOUT <seconds>]
#                  [WORKING_DIRECTORY <dir>] [ENVIRONMENT <VAR=value>...])
#   COMMAND runs in the guest as given: name a target's program as $<TARGET_FILE:target>.
#   SCENARIO is the vexsim scenario (default tools/vexsim/scenarios/rig.json), USER runs the
#   command as an unprivileged user of the guest, NO_CAMERAS starts no emulated camera.
#   WORKING_DIRECTORY (default: the current binary folder) is the guest's read-write folder.
#   TIMEOUT (default 240) bounds the case; the rig kills its guest 20 s before that, so a hung
#   guest still reports its kernel log.

set(VEX_RIG_SCRIPT ${PROJECT_SOURCE_DIR}/scripts/kernel-rig.sh)

function(vex_add_rig_test)
  cmake_parse_arguments(RIG "NO_CAMERAS" "NAME;SCENARIO;USER;TIMEOUT;WORKING_DIRECTORY" "COMMAND;ENVIRONMENT" ${ARGN})
  if(NOT RIG_NAME OR NOT RIG_COMMAND)
    message(FATAL_ERROR "vex_add_rig_test needs NAME and COMMAND")
  endif()
  if(NOT RIG_TIMEOUT)
    set(RIG_TIMEOUT 240)
  endif()
  if(NOT RIG_WORKING_DIRECTORY)
    set(RIG_WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  set(_options)
  if(RIG_SCENARIO)
    list(APPEND _options --scenario ${RIG_SCENARIO})
  endif()
  if(RIG_USER)
    list(APPEND _options --user ${RIG_USER})
  endif()
  math(EXPR _guest_limit "${RIG_TIMEOUT} - 20")
  set(_env VEXRIG_TIMEOUT=${_guest_limit} ${RIG_ENVIRONMENT})
  if(RIG_NO_CAMERAS)
    list(APPEND _env VEXRIG_CAMERAS=0)
  elseif(TARGET vexsim)
    list(APPEND _env VEXRIG_VEXSIM=$<TARGET_FILE:vexsim>)
  endif()
  add_test(NAME ${RIG_NAME} COMMAND ${VEX_RIG_SCRIPT} ${_options} -- ${RIG_COMMAND}
    WORKING_DIRECTORY ${RIG_WORKING_DIRECTORY})
  set_tests_properties(${RIG_NAME} PROPERTIES LABELS rig SKIP_RETURN_CODE 77 TIMEOUT ${RIG_TIMEOUT}
    RESOURCE_LOCK vantor_single_instance FIXTURES_REQUIRED vex_rig_cache ENVIRONMENT "${_env}")
endfunction()

# The cache: a case of its own, so that its time is not charged to the first rig case.
function(vex_add_rig_prepare)
  add_test(NAME rig_prepare COMMAND ${VEX_RIG_SCRIPT} --prepare)
  # The lock too: on an empty cache it unpacks and compiles for about 20 s, which should not
  # load the machine under an end-to-end case.
  set_tests_properties(rig_prepare PROPERTIES LABELS rig SKIP_RETURN_CODE 77 TIMEOUT 900
    FIXTURES_SETUP vex_rig_cache RESOURCE_LOCK vantor_single_instance)
endfunction()
