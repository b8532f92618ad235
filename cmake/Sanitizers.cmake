# LODRA_SANITIZE: every target of the native build compiled and linked with
# AddressSanitizer and UndefinedBehaviorSanitizer. The first finding ends the
# program (no recovery), so a test that trips one fails instead of printing a
# report and passing.
#
# Include this before any target is made: the flags go to targets created
# after it. The system's giflib and GoogleTest are not instrumented; that
# only means their own faults go unseen.
if(NOT LODRA_SANITIZE)
  return()
endif()
if(WIN32)
  message(FATAL_ERROR "LODRA_SANITIZE is for the native build: MinGW has no AddressSanitizer")
endif()

set(LODRA_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all)
add_compile_options(${LODRA_SANITIZER_FLAGS} -fno-omit-frame-pointer -g)
add_link_options(${LODRA_SANITIZER_FLAGS})
