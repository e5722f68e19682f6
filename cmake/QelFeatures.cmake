# Optional parts of the project, each decided at every configure from its
# cache choice and from what the machine has, and reported either way:
#   AUTO (default)  built when its dependencies are found, else left out with
#                   the reason; installing them and configuring again builds it
#   ON              built, or configuring fails with the reason
#   OFF             not built
#
# qel_feature(NAME LIBRARY "what it is" DEPENDENCY...) sets QEL_WITH_<NAME>
# (ON/OFF) from QEL_BUILD_<NAME> and the <DEPENDENCY>_FOUND variables; a
# dependency may be an earlier feature's NAME.
function(qel_feature name library what)
  set(QEL_FEATURE_${name}_LIBRARY ${library} PARENT_SCOPE)
  set(what "${library} (${what})")
  set(choice_var QEL_BUILD_${name})
  # A build folder made before these were three-way kept a BOOL that froze
  # the first answer; it becomes AUTO.
  get_property(type CACHE ${choice_var} PROPERTY TYPE)
  if(type STREQUAL "BOOL")
    set(${choice_var} AUTO CACHE STRING "" FORCE)
  endif()
  set(${choice_var} AUTO CACHE STRING "Build ${what}: AUTO, ON or OFF")
  set_property(CACHE ${choice_var} PROPERTY STRINGS AUTO ON OFF)
  string(TOUPPER "${${choice_var}}" choice)

  set(missing "")
  foreach(dependency IN LISTS ARGN)
    if(NOT ${dependency}_FOUND)
      if(DEFINED QEL_FEATURE_${dependency}_LIBRARY)
        list(APPEND missing "${QEL_FEATURE_${dependency}_LIBRARY} (not built)")
      else()
        list(APPEND missing "${dependency} (not found)")
      endif()
    endif()
  endforeach()
  list(JOIN missing ", " missing_text)

  set(with OFF)
  if(choice STREQUAL "OFF")
    message(STATUS "QelDiagUtils: ${what}: not built (${choice_var}=OFF)")
  elseif(missing)
    if(choice STREQUAL "AUTO")
      message(STATUS "QelDiagUtils: ${what}: not built, it needs ${missing_text} "
                     "(scripts/setup.sh installs what is missing)")
    else()
      message(FATAL_ERROR "QelDiagUtils: ${choice_var}=${${choice_var}}, but ${what} needs "
                          "${missing_text} (scripts/setup.sh installs what is missing; "
                          "${choice_var}=AUTO builds without it)")
    endif()
  elseif(choice STREQUAL "AUTO" OR choice STREQUAL "ON")
    message(STATUS "QelDiagUtils: ${what}: built")
    set(with ON)
  else()
    message(FATAL_ERROR "QelDiagUtils: ${choice_var} is '${${choice_var}}'; AUTO, ON or OFF")
  endif()
  set(QEL_WITH_${name} ${with} PARENT_SCOPE)
  set(${name}_FOUND ${with} PARENT_SCOPE)
endfunction()
