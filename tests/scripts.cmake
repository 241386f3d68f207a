# Tests that are scripts rather than GoogleTest executables.
add_test(NAME conformance
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/conformance.sh $<TARGET_FILE:email_ventry>
                 ${VENTRY_SHARED_DIR})
set_tests_properties(conformance PROPERTIES SKIP_RETURN_CODE 77 LABELS conformance TIMEOUT 1200)
