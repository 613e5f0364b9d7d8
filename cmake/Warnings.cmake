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
