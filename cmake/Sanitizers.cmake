# Instruments everything built in this tree (library, tests, examples) alike. A project that
# adds this one with add_subdirectory gets the sanitizer's link option from the library, so
# that its programs link; its own code it instruments itself.
if(CU_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(CU_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT CU_SANITIZE STREQUAL "")
    message(FATAL_ERROR "CU_SANITIZE must be empty, address or thread, not '${CU_SANITIZE}'")
endif()
if(CU_SANITIZE STREQUAL "address")
    set(CU_SANITIZE_LINK -fsanitize=address,undefined)
elseif(CU_SANITIZE STREQUAL "thread")
    set(CU_SANITIZE_LINK -fsanitize=thread)
endif()

# Coverage feedback for libFuzzer in everything the fuzz targets link.
if(CU_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
