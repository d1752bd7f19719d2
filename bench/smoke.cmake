# Bench.smoke: runs the benchmark driver with --quick and checks that it completes and
# that its table has every row, each with a figure. No figure is judged: on a shared
# machine timings say nothing about correctness.
#
# cmake -D PYTHON=... -D DRIVER=... -D CONFIG=... -D PYTHONPATH=... [-D PRELOAD=...] -P smoke.cmake

set(documents 1k 100k 2m num-100k num-2m key-100k key-2m feed-100k feed-2m)
set(expected_rows)
foreach(group IN ITEMS 1a 1b 2a 2b)
  foreach(document IN LISTS documents)
    list(APPEND expected_rows ${group}-${document})
  endforeach()
endforeach()
foreach(document IN LISTS documents)
  list(APPEND expected_rows 1a-${document}-f 1a-${document}-s 1a-${document}-u 1b-${document}-f 1b-${document}-s)
endforeach()
list(APPEND expected_rows
  3-1t 3-4t 3-h1 3-h10 3-h1000 3-i1 3-i100 3-i10000 3-m1 3-m100 3-m10000 3-table
  4
  5-discovery 5-trust 5-load 5-create 5-client
  6)

set(environment "PYTHONPATH=${PYTHONPATH}")
if(PRELOAD)
  # Only for the interpreter: this cmake process is not built with the sanitizers.
  list(APPEND environment "LD_PRELOAD=${PRELOAD}")
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env ${environment} "${PYTHON}" "${DRIVER}" --quick --config "${CONFIG}"
  RESULT_VARIABLE status
  OUTPUT_VARIABLE table)
message("${table}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "run_bench.py --quick ended with status ${status}")
endif()

foreach(row IN LISTS expected_rows)
  # "| <row> | ... | <reps> | <a figure> ..."
  if(NOT table MATCHES "\n\\| ${row} \\|[^|\n]*\\|[^|\n]*\\| [0-9]+ \\| [0-9]")
    message(FATAL_ERROR "row ${row} is missing from the table or has no figures")
  endif()
endforeach()
