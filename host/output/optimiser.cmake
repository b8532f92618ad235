# lodra-gif's stages around the plug-in: the GIF optimiser with the worker
# pool it runs on (host/output/), and the dither kernel (host/sources/).
# Plain C++ over the GIF format library and the boundary header; lodra-gif,
# the tests, the fuzz targets and the benchmarks link them.
find_package(Threads REQUIRED)
add_library(lodra_gif_optimiser STATIC
  ${CMAKE_CURRENT_LIST_DIR}/gif_optimiser.cpp
  ${CMAKE_CURRENT_LIST_DIR}/worker_pool.cpp
)
target_include_directories(lodra_gif_optimiser PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(lodra_gif_optimiser PUBLIC lodra_gif_format Threads::Threads)

# The ordered dither, over the boundary header's frame layout and palette
# levels.
add_library(lodra_dither STATIC ${CMAKE_CURRENT_LIST_DIR}/../sources/dither.cpp)
target_include_directories(lodra_dither PUBLIC ${PROJECT_SOURCE_DIR})
# Both go into lodra_host, which the video module links too.
set_target_properties(lodra_gif_optimiser lodra_dither PROPERTIES POSITION_INDEPENDENT_CODE ON)
