# Build settings shared by every target of the project.

set(OSTREL_SANITIZE "" CACHE STRING "Sanitizers for the native build: address,undefined | thread | empty")

if(WIN32)
    set(OSTREL_PLATFORM_DIR Win32)
    # Windows 7 API level; the DLL and every test program link the C++ and
    # threads runtimes statically, so they need no DLL beside them.
    add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE)
    add_link_options(-static -static-libgcc -static-libstdc++)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        # Doubles in SSE2 registers, rounded to double after every operation
        # as on x86-64, not in the x87 unit's extended precision: calibration,
        # the channel-7 merge and the voltage scales then give the same bits
        # on every target. Every processor that runs a supported Windows has
        # SSE2. Set here rather than in the toolchain file so that a build
        # folder configured before takes it too.
        add_compile_options(-msse2 -mfpmath=sse)
    endif()
else()
    set(OSTREL_PLATFORM_DIR Posix)
endif()

# The 32-bit Windows build's tests run under 32-bit Wine, where every process
# start is costly (tens of seconds where the CPU is emulated), so they use few
# processes. 64-bit Wine starts a program in about half a second: its tests
# run one by one, as natively.
if(CMAKE_CROSSCOMPILING AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(OSTREL_FEW_TEST_PROCESSES ON)
else()
    set(OSTREL_FEW_TEST_PROCESSES OFF)
endif()

if(OSTREL_SANITIZE)
    # Global, so that GoogleTest and the simulator carry the same
    # instrumentation as the library (ThreadSanitizer needs it everywhere).
    add_compile_options(-fsanitize=${OSTREL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${OSTREL_SANITIZE})
endif()

option(OSTREL_FUZZ "Build the libFuzzer targets (clang)" OFF)
if(OSTREL_FUZZ)
    # Coverage for the fuzzer's guidance in every object, not only the targets.
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Warnings are errors for the project's own code only.
function(ostrel_warnings target)
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Werror>
        $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Werror>)
endfunction()

find_package(Threads REQUIRED)
include(GNUInstallDirs)

# The library's own version: major 0, minor 73 (Ostrel_GetDLLVersion).
set(OSTREL_LIB_VERSION 0.73)
