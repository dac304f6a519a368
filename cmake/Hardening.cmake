# The Debian hardening flags for every build but the sanitizer and fuzz
# builds, which bring their own instrumentation: fortified libc calls (they
# need optimisation, so not in Debug), a stack protector, position-independent
# executables and a read-only, resolved-at-start relocation table.
if(NOT KV_SANITIZE AND NOT KV_FUZZ)
  add_compile_options(-fstack-protector-strong
                      "$<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>")
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  add_link_options(-Wl,-z,relro,-z,now)
endif()
