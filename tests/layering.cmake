# The include direction between the source folders; a plain script, no Wine.
add_test(NAME Layering.IncludesPointDown COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/layering.sh ${CMAKE_SOURCE_DIR})
