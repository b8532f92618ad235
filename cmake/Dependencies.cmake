# Third-party libraries: giflib (the stand-in's GIF coder, and the decoder the
# tests check outputs with) and GoogleTest.
if(NOT WIN32)
  find_package(GIF REQUIRED)
endif()
if(LODRA_BUILD_TESTS AND NOT WIN32)
  find_package(GTest REQUIRED)
endif()
