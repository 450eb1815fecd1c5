# Configures a plain build (no options) in BIN and fails if any compile command
# turns warnings into errors: a newer compiler's new warning must not stop a
# newcomer's first build.
#   cmake -DSRC=<source dir> -DBIN=<scratch dir> -P plain_flags.cmake
file(REMOVE_RECURSE ${BIN})
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SRC} -B ${BIN} -G Ninja
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "plain configure failed")
endif()
file(READ ${BIN}/compile_commands.json commands)
file(REMOVE_RECURSE ${BIN})
if(NOT commands MATCHES "-Wall")
  message(FATAL_ERROR "no compile commands with the project's warnings")
endif()
if(commands MATCHES "-Werror")
  message(FATAL_ERROR "the plain build treats warnings as errors")
endif()
