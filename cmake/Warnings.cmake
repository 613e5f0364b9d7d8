# Every target links this: one place for warnings, Qt safety defines and build switches.
add_library(upgrade_warnings INTERFACE)
target_compile_options(upgrade_warnings INTERFACE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic>)
target_compile_definitions(upgrade_warnings INTERFACE
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_DEPRECATED_WARNINGS)
if(SERVICE_BUILD)
    target_compile_definitions(upgrade_warnings INTERFACE SERVICE_BUILD)
endif()
if(DEBUG)
    target_compile_definitions(upgrade_warnings INTERFACE DEBUG)
endif()
if(SANITIZE)
    target_compile_options(upgrade_warnings INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
        -fno-sanitize-recover=undefined)
    target_link_options(upgrade_warnings INTERFACE -fsanitize=address,undefined)
endif()
# FUZZ: our own libraries (and everything else that links this) carry libFuzzer's coverage hooks and the
# sanitizers; only the fuzz targets link libFuzzer itself (tests/fuzz). Build-time tools do not link this.
if(FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "FUZZ needs clang: -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
    endif()
    target_compile_options(upgrade_warnings INTERFACE -fsanitize=fuzzer-no-link,address,undefined
        -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(upgrade_warnings INTERFACE -fsanitize=fuzzer-no-link,address,undefined)
endif()
