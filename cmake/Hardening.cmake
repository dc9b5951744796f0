# Hardening that Debian applies to its own packages (dpkg-buildflags), here for
# every program the build links: glibc's checked variants of the string and memory
# functions (they need optimisation, hence only the optimised build types), and a
# relocation table that is resolved at start-up and then made read-only.
#
# A sanitizer build (the fuzz build is one) leaves _FORTIFY_SOURCE out: AddressSanitizer
# checks those calls itself, and glibc's checked variants would take some of them out of
# its sight.
# A _FORTIFY_SOURCE already given in CMAKE_CXX_FLAGS (a distribution's own flags)
# is left as it is rather than defined twice.
if(NOT HORALIS_FUZZ AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize=|_FORTIFY_SOURCE")
    add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
endif()
add_link_options(LINKER:-z,relro LINKER:-z,now)
