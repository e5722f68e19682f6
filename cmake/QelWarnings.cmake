# Warning, sanitizer and coverage flags shared by every target of the project.
add_library(qel_build_flags INTERFACE)
target_compile_options(qel_build_flags INTERFACE -Wall -Wextra -Wshadow -Wnon-virtual-dtor)
if(QEL_WERROR)
  target_compile_options(qel_build_flags INTERFACE -Werror)
endif()
if(QEL_SANITIZE)
  target_compile_options(qel_build_flags INTERFACE -fsanitize=${QEL_SANITIZE}
                                                   -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(qel_build_flags INTERFACE -fsanitize=${QEL_SANITIZE})
  # GCC's flow analysis gives false alarms inside instrumented library code
  # (std::regex, std::function) that -Werror would turn into failures.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(qel_build_flags INTERFACE -Wno-maybe-uninitialized)
  endif()
endif()
if(QEL_COVERAGE)
  # Atomic counters: the collector runs several threads at once.
  target_compile_options(qel_build_flags INTERFACE --coverage -O0 -fprofile-update=atomic)
  target_link_options(qel_build_flags INTERFACE --coverage)
endif()
