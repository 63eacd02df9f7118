# Stack sampling of the GUI thread. libunwind is loaded at run time with dlopen (see
# thread_sampler_linux.cpp for why it is not linked); only its header is needed here.
pkg_check_modules(UNWIND REQUIRED libunwind)
target_sources(keelanr_platform PRIVATE
    linux/sampling/stack_sampler_linux.cpp
    linux/sampling/thread_sampler_linux.cpp
)
target_include_directories(keelanr_platform PRIVATE ${UNWIND_INCLUDE_DIRS})
target_link_libraries(keelanr_platform PUBLIC ${CMAKE_DL_LIBS})
