# The build settings every Lanterra target shares: C++20 without compiler
# extensions, Qt's code generators, one output folder, and the warnings and
# definitions of the interface library lanterra_warnings, which every target links.

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_AUTOMOC ON)
set(CMAKE_AUTORCC ON)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

# Both programs and every test land in one folder: Lanterra starts pelorin from its own folder.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# The warnings, -Werror when LANTERRA_WERROR is on (CI), and Qt's bans on
# implicit text conversions, string building through QStringBuilder, no narrowing
# in connections and no API deprecated up to the Qt we build with. Test code
# (targets with LANTERRA_TEST_CODE set) keeps the implicit conversions from
# 8-bit text for its data tables and plain operator+ for its golden strings,
# and is spared the shadowing and narrowing warnings of the programs' code,
# which g++ checks (clang's -Wconversion, in the fuzz build, is a wider set).
option(LANTERRA_WERROR "Treat warnings as errors" OFF)
add_library(lanterra_warnings INTERFACE)
set(lanterra_production $<NOT:$<BOOL:$<TARGET_PROPERTY:LANTERRA_TEST_CODE>>>)
target_compile_options(lanterra_warnings INTERFACE
  -Wall -Wextra -pedantic -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-qual
  "$<$<AND:${lanterra_production},$<CXX_COMPILER_ID:GNU>>:-Wshadow;-Wconversion;-Wold-style-cast>"
  $<$<BOOL:${LANTERRA_WERROR}>:-Werror>)
target_compile_definitions(lanterra_warnings INTERFACE
  QT_NO_CAST_TO_ASCII QT_NO_NARROWING_CONVERSIONS_IN_CONNECT QT_DISABLE_DEPRECATED_UP_TO=0x060400
  $<${lanterra_production}:QT_NO_CAST_FROM_ASCII;QT_NO_CAST_FROM_BYTEARRAY;QT_USE_QSTRINGBUILDER>)
