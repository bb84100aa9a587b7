# The administrator's console through its program, one case per run:
#   cmake -DTARNCTL=<program> -DRUNNER=<emulator or empty> -DREGISTRY=<default.reg>
#         -DWORK=<scratch directory> -DCASE=<name> -P console.cmake
# Each case checks exit statuses and what was printed; a refusal must be
# one line on the error stream.

# Runs tarnctl with the arguments after `expected`; fails unless it exits
# with `expected`.  Leaves the output in OUT and the error stream in ERR.
function(tarnctl expected)
  execute_process(COMMAND ${RUNNER} ${TARNCTL} ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT status STREQUAL expected)
    string(REPLACE ";" " " shown "${ARGN}")
    message(FATAL_ERROR "tarnctl ${shown}: exit status ${status}, expected ${expected}\n${out}${err}")
  endif()
  set(OUT "${out}" PARENT_SCOPE)
  set(ERR "${err}" PARENT_SCOPE)
endfunction()

function(expect_match text pattern)
  if(NOT "${text}" MATCHES "${pattern}")
    message(FATAL_ERROR "nothing printed matches \"${pattern}\":\n${text}")
  endif()
endfunction()

# The path of a disk at an address, from the JSON listing: sets PATH_JSON.
function(json_path json disk address)
  string(JSON count LENGTH "${json}" disks ${disk} paths)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON at GET "${json}" disks ${disk} paths ${i} address)
    if(at STREQUAL address)
      string(JSON path GET "${json}" disks ${disk} paths ${i})
      set(PATH_JSON "${path}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "disk ${disk} has no path ${address}:\n${json}")
endfunction()

file(MAKE_DIRECTORY ${WORK})
set(reg ${WORK}/${CASE}.reg)
file(COPY_FILE ${REGISTRY} ${reg})

if(CASE STREQUAL "listing")
  tarnctl(0 list)
  expect_match("${OUT}" "Default path selection policy: failback .0x102.")
  expect_match("${OUT}" "Disk 0 .MPIO_DISK0_0.  SN [0-9A-F]+  policy failback .0x102.  reservations seen: no  4 paths")
  expect_match("${OUT}" "\n  2:0:0:0 +0 +0 +yes +yes +Healthy +0x[0-9A-F]+\n  2:0:1:0 +1 +0 +no +no +Healthy")
  expect_match("${OUT}" "Disk 1 .MPIO_DISK1_0.*3:0:1:1 +1 +1 +no +no +Healthy")

elseif(CASE STREQUAL "json")
  tarnctl(0 --json)
  string(JSON disks LENGTH "${OUT}" disks)
  string(JSON policy GET "${OUT}" disks 1 policy)
  if(NOT disks EQUAL 2 OR NOT policy STREQUAL "failback")
    message(FATAL_ERROR "expected 2 disks under failback:\n${OUT}")
  endif()
  json_path("${OUT}" 1 "2:0:0:1")
  string(JSON preferred GET "${PATH_JSON}" preferred)
  string(JSON health GET "${PATH_JSON}" health)
  string(JSON controller GET "${PATH_JSON}" controller)
  if(NOT preferred OR NOT health STREQUAL "Healthy" OR NOT controller EQUAL 0)
    message(FATAL_ERROR "path 2:0:0:1 should be preferred, healthy, on controller 0: ${PATH_JSON}")
  endif()

elseif(CASE STREQUAL "preferred")
  # The change is the driver's at once (failback moves the I/O to it),
  # and is found again at the next start from the file.
  tarnctl(0 --registry ${reg} set-preferred 0 3:0:1:0)
  expect_match("${OUT}" "The preferred path has been set to .[0-9A-F]+ 3:0:1:0. on logical drive")
  expect_match("${OUT}" "Stored in ")
  foreach(round changed restarted)
    tarnctl(0 --registry ${reg} --json)
    json_path("${OUT}" 0 "3:0:1:0")
    string(JSON preferred GET "${PATH_JSON}" preferred)
    string(JSON current GET "${PATH_JSON}" current)
    json_path("${OUT}" 0 "2:0:0:0")
    string(JSON old GET "${PATH_JSON}" preferred)
    if(NOT preferred OR NOT current OR old)
      message(FATAL_ERROR "${round}: 3:0:1:0 should be disk 0's preferred and current path:\n${OUT}")
    endif()
  endforeach()
  tarnctl(0 --json)
  json_path("${OUT}" 0 "2:0:0:0")
  string(JSON preferred GET "${PATH_JSON}" preferred)
  if(NOT preferred)
    message(FATAL_ERROR "without the file the first path is preferred again:\n${OUT}")
  endif()

elseif(CASE STREQUAL "policy")
  # The method names the drive by a serial number of at most 16
  # characters: the array's short identifiers give those.
  # With --json the output is the listing alone, the change at once in it.
  foreach(arguments "--json;set-policy;1;round_robin" "--json")
    tarnctl(0 --registry ${reg} --identifiers short ${arguments})
    string(JSON first GET "${OUT}" disks 0 policy)
    string(JSON second GET "${OUT}" disks 1 policy)
    if(NOT first STREQUAL "failback" OR NOT second STREQUAL "round_robin")
      message(FATAL_ERROR "${arguments}: disk 1 should run round_robin, disk 0 failback:\n${OUT}")
    endif()
  endforeach()
  # Longer serial numbers are the driver's to refuse, and the console says why.
  tarnctl(1 set-policy 0 failover)
  expect_match("${ERR}" "^tarnctl: SetPathSelectionPolicyForSingleLd on MPIO_DISK0_0 failed: .*at most 16 characters")

elseif(CASE STREQUAL "refusals")
  # Each: the arguments, "|", what the one line says.
  foreach(refusal
          "set-preferred 9 2:0:0:0|no multipath disk \"9\"; the disks are 0 .MPIO_DISK0_0., 1 .MPIO_DISK1_0."
          "set-preferred 0 2:0:0|bad path address \"2:0:0\""
          "set-preferred 0 2:0:0:256|bad path address \"2:0:0:256\""
          "set-preferred 1 2:0:0:0|disk 1 has no path 2:0:0:0. its paths are 2:0:0:1, "
          "set-policy MPIO_DISK0_0 fastest|unknown policy \"fastest\"")
    string(FIND "${refusal}" "|" bar)
    string(SUBSTRING "${refusal}" 0 ${bar} arguments)
    math(EXPR bar "${bar} + 1")
    string(SUBSTRING "${refusal}" ${bar} -1 message)
    separate_arguments(arguments UNIX_COMMAND "${arguments}")
    tarnctl(2 ${arguments})
    expect_match("${ERR}" "^tarnctl: ${message}[^\n]*\n$")
  endforeach()
  tarnctl(2 --registry ${WORK}/missing.reg)
  expect_match("${ERR}" "^tarnctl: --registry: cannot read .*missing.reg: No such file[^\n]*\n$")

elseif(CASE STREQUAL "files")
  # Only a regular file of bounded size is read.
  tarnctl(2 --registry /dev/zero)
  expect_match("${ERR}" "^tarnctl: --registry: cannot read /dev/zero: not a regular file\n$")
  set(big ${WORK}/big.reg)
  file(REMOVE ${big})
  execute_process(COMMAND truncate -s 17M ${big} RESULT_VARIABLE truncated)
  if(NOT truncated EQUAL 0)
    message(FATAL_ERROR "cannot make ${big}")
  endif()
  tarnctl(2 --registry ${big})
  expect_match("${ERR}" "^tarnctl: --registry: cannot read .*big.reg: larger than 16 MiB\n$")
  file(REMOVE ${big})

  # A file cut short in its last line is refused, though what is left
  # would parse.
  file(READ ${reg} whole)
  string(LENGTH "${whole}" length)
  math(EXPR cut "${length} - 3")
  string(SUBSTRING "${whole}" 0 ${cut} head)
  file(WRITE ${WORK}/cut.reg "${head}")
  tarnctl(2 --registry ${WORK}/cut.reg)
  expect_match("${ERR}" "cut.reg: the last line has no line break: the file was cut short\n$")

  # A write that fails half-way (here at the file size limit) leaves the
  # file as it was and no temporary file beside it.
  execute_process(COMMAND sh -c "trap '' XFSZ; ulimit -f 1; exec \"$0\" \"$@\"" ${RUNNER} ${TARNCTL}
                          --registry ${reg} set-preferred 0 3:0:1:0
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 2)
    message(FATAL_ERROR "a failed write: exit status ${status}, expected 2\n${out}${err}")
  endif()
  expect_match("${err}" "^tarnctl: --registry: cannot write .*: File too large\n$")
  file(READ ${reg} after)
  if(NOT after STREQUAL whole)
    message(FATAL_ERROR "the failed write changed ${reg}:\n${after}")
  endif()
  file(GLOB debris ${reg}.*)
  if(debris)
    message(FATAL_ERROR "left behind: ${debris}")
  endif()

  # A write that succeeds replaces the file whole, keeping its mode.
  file(CHMOD ${reg} PERMISSIONS OWNER_READ OWNER_WRITE)
  tarnctl(0 --registry ${reg} set-preferred 0 3:0:1:0)
  file(READ ${reg} changed)
  string(FIND "${changed}" "PreferredPath" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "the preference was not stored:\n${changed}")
  endif()
  execute_process(COMMAND stat -c %a ${reg} OUTPUT_VARIABLE mode OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT mode STREQUAL "600")
    message(FATAL_ERROR "the file's mode became ${mode}")
  endif()

else()
  message(FATAL_ERROR "no case \"${CASE}\"")
endif()
