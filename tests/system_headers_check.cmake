# Fails when a file of the system's own code (corvane/, HarkwellServer/ and HarkwellPack1/ under ROOT, their
# tests aside) includes a POSIX or Linux system header: the system's calls of the operating system live in
# platform/, behind the runtime's interfaces, so that the rest reads the same on any platform.
#
# PENDING ("|"-separated paths relative to ROOT) names the files whose calls have not moved yet. A pending
# file that no longer includes such a header fails the check too, so that the list only ever shrinks.
set(system_header
    "sys/[^>]*|unistd\\.h|signal\\.h|pthread\\.h|dlfcn\\.h|poll\\.h|netdb\\.h|arpa/[^>]*|netinet/[^>]*|fcntl\\.h"
    "|link\\.h|execinfo\\.h|strings\\.h|linux/[^>]*|grp\\.h|pwd\\.h|spawn\\.h|semaphore\\.h|sched\\.h|dirent\\.h"
    "|ucontext\\.h|syslog\\.h|termios\\.h")
string(JOIN "" system_header ${system_header})
set(include_line "#[ \t]*include[ \t]*<(${system_header})>")

string(REPLACE "|" ";" pending "${PENDING}")
set(offenders "")
set(stale "")
set(checked 0)
foreach(folder corvane HarkwellServer HarkwellPack1)
  file(GLOB_RECURSE sources RELATIVE "${ROOT}" "${ROOT}/${folder}/*.cpp" "${ROOT}/${folder}/*.h"
       "${ROOT}/${folder}/*.hpp" "${ROOT}/${folder}/*.cc")
  foreach(source ${sources})
    if(source MATCHES "(^|/)tests/")
      continue()
    endif()
    math(EXPR checked "${checked} + 1")
    file(STRINGS "${ROOT}/${source}" lines REGEX "${include_line}")
    list(FIND pending "${source}" pending_index)
    if(lines)
      if(pending_index LESS 0)
        string(REGEX MATCHALL "<[^>]+>" headers "${lines}")
        string(JOIN " " headers ${headers})
        list(APPEND offenders "${source}: ${headers}")
      endif()
    elseif(NOT pending_index LESS 0)
      list(APPEND stale "${source}")
    endif()
  endforeach()
endforeach()

if(checked EQUAL 0)
  message(FATAL_ERROR "no source files found under ${ROOT}")
endif()
if(offenders)
  list(LENGTH offenders offender_count)
  string(REPLACE ";" "\n  " offenders "${offenders}")
  message(FATAL_ERROR "${offender_count} of ${checked} files include system headers outside platform/:\n  ${offenders}")
endif()
if(stale)
  string(REPLACE ";" "\n  " stale "${stale}")
  message(FATAL_ERROR "No longer includes a system header, take it off the pending list:\n  ${stale}")
endif()
message(STATUS "${checked} files checked")
