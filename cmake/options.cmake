# Compiler settings shared by every target: link `veldon::options` and nothing else is needed.
add_library(veldon_options INTERFACE)
add_library(veldon::options ALIAS veldon_options)

target_compile_options(veldon_options INTERFACE
    $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor>)
target_compile_definitions(veldon_options INTERFACE
    VELDON_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
    VELDON_VERSION_MINOR=${PROJECT_VERSION_MINOR}
    VELDON_VERSION_REVISION=${PROJECT_VERSION_PATCH})

if(VELDON_SANITIZE)
    set(_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_compile_options(veldon_options INTERFACE ${_san})
    target_link_options(veldon_options INTERFACE ${_san})
endif()
