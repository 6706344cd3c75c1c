# The release, signed with a throwaway certificate and checked from outside:
# tests/release/release_test.sh. It runs the e2e scenario nt_ok with the
# signed exe, in that scenario's prefix, so the two never run at once.
if(TARGET glintfold_standin AND TARGET window_probe)
    add_test(NAME release
        COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/release_test.sh
            $<TARGET_FILE:glintfold_standin> $<TARGET_FILE:window_probe>)
    # The longest test by far: started first, the others run beside it.
    set_tests_properties(release PROPERTIES
        LABELS release TIMEOUT 1800 COST 1000 RESOURCE_LOCK e2e_nt_ok_prefix)
    if(TEST e2e_nt_ok)
        set_property(TEST e2e_nt_ok APPEND PROPERTY RESOURCE_LOCK e2e_nt_ok_prefix)
    endif()
endif()
