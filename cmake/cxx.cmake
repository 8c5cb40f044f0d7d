# The language settings every Quarn build shares.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()
# An attribute the compiler can't apply is an error, not a warning: a
# misnumbered format attribute would quietly turn off the checks of every
# console message.
add_compile_options(-Wall -Wextra -Werror=attributes)
