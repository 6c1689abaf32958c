# Hardening of everything the project builds: the driver and the log library
# run inside a host's process and parse bytes from the network, so they and
# the programs shipped beside them get the flags Debian builds its own
# packages with (dpkg-buildflags, hardening=+all). scripts/ci-packages.sh
# checks every shipped ELF file for them with hardening-check.
#
#   -DDCJ_HARDENING=OFF   build without (to measure what the flags cost)

option(DCJ_HARDENING "Build with stack protector, fortified functions, full RELRO, PIE" ON)

include(CheckCXXCompilerFlag)
include(CheckPIESupported)

# Executables are position independent whatever the compiler's default.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
check_pie_supported(OUTPUT_VARIABLE _dcj_pie_message LANGUAGES C CXX)
if(NOT CMAKE_CXX_LINK_PIE_SUPPORTED)
  message(WARNING "PIE is not supported by this toolchain: ${_dcj_pie_message}")
endif()

if(DCJ_HARDENING)
  set(_dcj_hardening_flags -fstack-protector-strong -fstack-clash-protection)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i[3-6]86)$")
    list(APPEND _dcj_hardening_flags -fcf-protection)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    list(APPEND _dcj_hardening_flags -mbranch-protection=standard)
  endif()
  foreach(_flag IN LISTS _dcj_hardening_flags)
    string(MAKE_C_IDENTIFIER "DCJ_HAS${_flag}" _var)
    check_cxx_compiler_flag(${_flag} ${_var})
    if(NOT ${_var})
      message(FATAL_ERROR "The compiler does not accept ${_flag}: configure with -DDCJ_HARDENING=OFF to build unhardened")
    endif()
  endforeach()
  add_compile_options(${_dcj_hardening_flags})

  # Fortified functions need optimisation (glibc warns without it) and
  # stand in the sanitizers' way; those builds are never shipped.
  if(NOT DCJ_SANITIZE AND NOT DCJ_BUILD_FUZZERS)
    add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE> $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
  endif()

  # Full RELRO: relocations read-only and every symbol bound at load.
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()
