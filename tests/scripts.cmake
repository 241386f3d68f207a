# Tests that are scripts rather than GoogleTest executables.
add_test(NAME conformance
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/conformance.sh $<TARGET_FILE:email_ventry>
                 ${VENTRY_SHARED_DIR})
set_tests_properties(conformance PROPERTIES SKIP_RETURN_CODE 77 LABELS conformance TIMEOUT 1200)

# Threads, plain reads and shards write the records of the single-thread run.
add_test(NAME run_equivalence
         COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/scripts/run_equivalence.py
                 $<TARGET_FILE:email_ventry> ${CMAKE_SOURCE_DIR} ${VENTRY_SHARED_DIR})
set_tests_properties(run_equivalence PROPERTIES LABELS conformance TIMEOUT 600)

# The GNU parallel and Slurm recipes for many machines.
add_test(NAME cluster_recipes
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/scripts/cluster_recipes.sh
                 $<TARGET_FILE:email_ventry> ${CMAKE_SOURCE_DIR})
set_tests_properties(cluster_recipes PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)

# Containers built from the bulk set give, message by message, the records of single files.
add_test(NAME expand_records
         COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/scripts/expand_records.py
                 $<TARGET_FILE:email_ventry> ${CMAKE_SOURCE_DIR} ${VENTRY_SHARED_DIR})
set_tests_properties(expand_records PROPERTIES SKIP_RETURN_CODE 77 LABELS conformance TIMEOUT 1200)

# The built-in reader served over the reader protocol gives the built-in reader's records.
add_test(NAME reader_equivalence
         COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/scripts/reader_equivalence.py
                 $<TARGET_FILE:email_ventry> ${CMAKE_SOURCE_DIR} ${VENTRY_SHARED_DIR})
set_tests_properties(reader_equivalence PROPERTIES LABELS conformance TIMEOUT 600)

# The readers shipped in readers/ answer every message of the public set.
add_test(NAME foreign_readers
         COMMAND python3 ${CMAKE_CURRENT_SOURCE_DIR}/scripts/foreign_readers.py
                 $<TARGET_FILE:email_ventry> ${CMAKE_SOURCE_DIR} ${VENTRY_SHARED_DIR})
set_tests_properties(foreign_readers PROPERTIES SKIP_RETURN_CODE 77 LABELS conformance TIMEOUT 900)
