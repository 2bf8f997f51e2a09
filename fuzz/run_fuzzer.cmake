# Runs one fuzz target the deterministic way (see tovra_add_fuzzer in CMakeLists.txt):
#   cmake -DFUZZER=<program> -DCORPUS=<committed corpus> -DRUNS=<n> -DWORK=<build folder>
#         -P run_fuzzer.cmake
# libFuzzer writes new inputs into the first folder it is given, so that is a scratch folder
# in the build tree, emptied first; the committed corpus is only read. A crash leaves its
# input in WORK/artifacts.
foreach(var FUZZER CORPUS RUNS WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_fuzzer.cmake: ${var} is not set")
  endif()
endforeach()

set(scratch ${WORK}/scratch)
set(artifacts ${WORK}/artifacts)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${scratch} ${artifacts})

# Same inputs on every run: a fixed seed, and no address randomisation (setarch -R), since
# some code paths (protobuf's output buffers among them) depend on where memory lies and
# would steer the exploration elsewhere. -reload=0: never rescan the folders while running
# (a time-based step). The time-out is a hang detector, long enough not to fire on a busy
# machine. UBSan stops at its first report, so that the report fails the test.
find_program(SETARCH setarch REQUIRED)
cmake_host_system_information(RESULT arch QUERY OS_PLATFORM)
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
          UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
          ${SETARCH} ${arch} -R ${FUZZER} -seed=1 -runs=${RUNS} -reload=0 -timeout=60 -rss_limit_mb=2048
          -print_final_stats=1 -artifact_prefix=${artifacts}/ ${scratch} ${CORPUS}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "The fuzzer failed (exit status ${status}). libFuzzer names the input "
                      "that fails above (\"Test unit written to ...\", in ${artifacts}); once "
                      "fixed, copy it into ${CORPUS} as a regression case (crash-<what>).")
endif()
