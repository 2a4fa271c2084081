# Warning and sanitizer flags, applied per target (never globally).

set(TAVRIN_WARNINGS
  -Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wmissing-declarations -Wswitch
  -Werror)

function(tavrin_target_options target)
  target_compile_options(${target} PRIVATE ${TAVRIN_WARNINGS})
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()

if(TAVRIN_SANITIZE)
  # Sanitizers must cover every object of the process, test framework included
  # where it is compiled here, so they are the one global setting.
  add_compile_options(-fsanitize=${TAVRIN_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${TAVRIN_SANITIZE})
  if(TAVRIN_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=all)
  endif()
endif()

# Declares an internal static library of the project from the given sources.
function(tavrin_internal_library target)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_INCLUDES;LINK" ${ARGN})
  add_library(${target} STATIC ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_include_directories(${target} PUBLIC ${ARG_PUBLIC_INCLUDES})
  if(ARG_LINK)
    target_link_libraries(${target} PUBLIC ${ARG_LINK})
  endif()
  tavrin_target_options(${target})
endfunction()
