# Runs a scenario with its timeline and checks what was recorded and drawn:
#   cmake -DPROGRAM=<dsmscenario> [-DEMULATOR=<runner>] -DDIRECTORY=<dir> -DCASE=default|hung_link
#         [-DSCENARIO=<file>] -P timeline.cmake
# default: the cable of the current path pulled at 3 s and returned at
# 25 s, drawn as SVG; hung_link: the requests on a hung link failed over
# together, drawn as PNG.
if(CASE STREQUAL "default")
  set(picture ${DIRECTORY}/timeline_default.svg)
else()
  set(picture ${DIRECTORY}/timeline_${CASE}.png)
endif()
set(csv ${DIRECTORY}/timeline_${CASE}.csv)
file(REMOVE ${picture} ${csv})
execute_process(COMMAND ${EMULATOR} ${PROGRAM} -q ${SCENARIO} --timeline ${picture} --timeline-data ${csv}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "exit status ${status}\n${out}\n${err}")
endif()
file(STRINGS ${csv} rows)

# The one mark of a kind: its time within [low, high], its lane, and its
# count within [fewest, most].
function(expect_mark kind lane low high fewest most)
  set(found "")
  foreach(row IN LISTS rows)
    if(row MATCHES "^mark,([0-9]+),([0-9]*),${kind},([0-9]+),")
      list(APPEND found "${CMAKE_MATCH_1}/${CMAKE_MATCH_2}/${CMAKE_MATCH_3}")
      set(at ${CMAKE_MATCH_1})
      set(onLane ${CMAKE_MATCH_2})
      set(times ${CMAKE_MATCH_3})
    endif()
  endforeach()
  list(LENGTH found marks)
  if(NOT marks EQUAL 1 OR at LESS low OR at GREATER high OR NOT onLane STREQUAL "${lane}"
     OR times LESS fewest OR times GREATER most)
    message(FATAL_ERROR "${kind}: expected one mark at ${low}-${high} ms on lane ${lane} counting ${fewest}-${most}, "
                        "found (time/lane/count) ${found}")
  endif()
  set(${kind}At ${at} PARENT_SCOPE)
endfunction()

# Requests completed on a lane per interval from `from` up to `to`: each
# interval some (busy) or none.
function(expect_io lane from to busy)
  foreach(row IN LISTS rows)
    if(row MATCHES "^io,([0-9]+),${lane},completed,([0-9]+),"
       AND NOT CMAKE_MATCH_1 LESS from AND CMAKE_MATCH_1 LESS to)
      if((busy AND CMAKE_MATCH_2 EQUAL 0) OR (NOT busy AND NOT CMAKE_MATCH_2 EQUAL 0))
        message(FATAL_ERROR "lane ${lane} at ${CMAKE_MATCH_1} ms completed ${CMAKE_MATCH_2} requests")
      endif()
    endif()
  endforeach()
endfunction()

function(expect_stall low high)
  foreach(row IN LISTS rows)
    if(row MATCHES "^stall,([0-9]+),([0-9]+),stall,([0-9]+),")
      if(CMAKE_MATCH_3 LESS low OR CMAKE_MATCH_3 GREATER high)
        message(FATAL_ERROR "stall of ${CMAKE_MATCH_3} ms, expected ${low}-${high}: ${row}")
      endif()
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "no stall recorded")
endfunction()

if(CASE STREQUAL "default")
  list(FILTER rows EXCLUDE REGEX "^event,")
  string(REGEX MATCHALL "lane,,[0-9],[^;]*" lanes "${rows}")
  if(NOT lanes STREQUAL "lane,,0,2:0:0,,controller 0 port 0;lane,,1,2:0:1,,controller 1 port 0;lane,,2,3:0:0,,controller 0 port 1;lane,,3,3:0:1,,controller 1 port 1")
    message(FATAL_ERROR "lanes: ${lanes}")
  endif()
  # The pull and the return where the scenario puts them; the failover at
  # once to the other controller's port, the removal once the link has
  # been down for the port's link-down time (15 s), the arrival when the
  # cable is back, and the failback after it.  A mark counts both LUNs
  # (a failover each request that was in flight: a write and a read a LUN
  # at most).
  expect_mark(fault 0 3000 3000 1 1)
  expect_mark(return 0 25000 25000 1 1)
  expect_mark(failover 3 3000 3500 2 4)
  expect_mark(removal 0 18000 18500 2 2)
  expect_mark(arrival 0 25000 25500 2 2)
  expect_mark(failback 0 ${arrivalAt} 35000 2 2)
  expect_stall(0 500)
  # Who carried the I/O: the pulled path before, the other controller's
  # in between, the pulled path again after the failback.
  # An interval that holds a switch may count on both paths.
  string(REGEX MATCH "io,([0-9]+),0,completed,[0-9]+,;io,[0-9]+,0,failed,[0-9]+,;io,([0-9]+),0," pair "${rows}")
  math(EXPR interval "${CMAKE_MATCH_2} - ${CMAKE_MATCH_1}")
  math(EXPR before "${faultAt} - ${interval}")
  math(EXPR between "${failoverAt} + ${interval}")
  math(EXPR until "${failbackAt} - ${interval}")
  math(EXPR after "${failbackAt} + ${interval}")
  expect_io(0 ${interval} ${before} TRUE)
  expect_io(3 ${interval} ${before} FALSE)
  expect_io(0 ${between} ${until} FALSE)
  expect_io(3 ${between} ${until} TRUE)
  expect_io(3 ${after} 34000 FALSE)
  expect_io(0 ${after} 34000 TRUE)
  string(REGEX MATCHALL "health,[0-9]+,0,[A-Z_]+" health "${rows}")
  if(NOT health MATCHES "^health,0,0,HEALTHY;health,3[0-9][0-9][0-9],0,FAILED;health,18[0-9]+,0,GONE;health,25[0-9]+,0,HEALTHY$")
    message(FATAL_ERROR "health of the pulled path: ${health}")
  endif()
  file(READ ${picture} svg)
  if(NOT svg MATCHES "^<\\?xml [^\n]*\n<svg[ \n]+width=\"1200\" height=\"820\"" OR NOT svg MATCHES "</svg>\n*$")
    string(SUBSTRING "${svg}" 0 200 head)
    message(FATAL_ERROR "${picture} is no SVG of 1200 by 820: ${head}")
  endif()
else()
  # Every request in flight on the hung link failed over when the port
  # gave up on them: one mark, and one line in the report with the count.
  expect_mark(failover 1 1000 70000 4 4)
  if(NOT out MATCHES "has failed over to [^\n]*\n +4 requests in flight on the path failed over\n")
    message(FATAL_ERROR "the report does not count the failovers once:\n${out}")
  endif()
  list(FILTER rows INCLUDE REGEX "^event,[0-9]+,,Warning,515,")
  list(LENGTH rows entries)
  if(NOT entries EQUAL 4)
    message(FATAL_ERROR "expected each of the 4 failover entries in the data, found ${entries}")
  endif()
  file(READ ${picture} png LIMIT 24 HEX)
  # The signature, the header chunk and its width and height (1200 by 820).
  if(NOT png STREQUAL "89504e470d0a1a0a0000000d49484452000004b000000334")
    message(FATAL_ERROR "${picture} is no PNG of 1200 by 820: ${png}")
  endif()
endif()
