# upgrade_add_resource_collection(<name> <out-var> FILES <alias> <path> [<alias> <path> ...])
# Writes <name>.qrc (prefix "/resources") into the build tree and compiles it with rcc into a C++ source
# that registers the collection by static initialisation (qInitResources_<name>). Files are stored
# uncompressed: the program reads nearly every one of them at each start, and stored as they are they
# are written out or handed over from where they lie, without being inflated first. The generated
# source is appended to <out-var>.
function(upgrade_add_resource_collection name out_var)
    cmake_parse_arguments(ARG "" "" "FILES" ${ARGN})
    set(qrc "${CMAKE_CURRENT_BINARY_DIR}/${name}.qrc")
    set(body "<!DOCTYPE RCC><RCC version=\"1.0\">\n<qresource prefix=\"/resources\">\n")
    set(deps "")
    list(LENGTH ARG_FILES n)
    math(EXPR last "${n} - 1")
    foreach(i RANGE 0 ${last} 2)
        math(EXPR j "${i} + 1")
        list(GET ARG_FILES ${i} alias)
        list(GET ARG_FILES ${j} path)
        string(APPEND body "    <file alias=\"${alias}\">${path}</file>\n")
        list(APPEND deps "${path}")
    endforeach()
    string(APPEND body "</qresource>\n</RCC>\n")
    file(GENERATE OUTPUT "${qrc}" CONTENT "${body}")
    set(cpp "${CMAKE_CURRENT_BINARY_DIR}/qrc_${name}.cpp")
    add_custom_command(
        OUTPUT "${cpp}"
        COMMAND Qt5::rcc --name ${name} --format-version 3 --no-compress
                -o "${cpp}" "${qrc}"
        DEPENDS "${qrc}" ${deps}
        COMMENT "Compiling resource collection ${name}"
        VERBATIM)
    set(${out_var} ${${out_var}} "${cpp}" PARENT_SCOPE)
endfunction()
