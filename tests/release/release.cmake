# The release, signed with a throwaway certificate and checked from outside:
# tests/release/release_test.sh. Making, signing and checking it runs no
# Windows program, so it is labelled host and runs where the build does
# (scripts/test.sh); its signed exe then runs through the e2e scenario nt_ok
# where Windows programs run, in that scenario's prefix, so that the two
# never run at once.
if(TARGET glintfold_standin AND TARGET window_probe)
    add_test(NAME release COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/release_test.sh)
    # The longest test by far: started first, the others run beside it.
    set_tests_properties(release PROPERTIES LABELS "release;host" TIMEOUT 1800 COST 1000)
    add_test(NAME release_nt_ok
        COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/release_test.sh nt_ok
            $<TARGET_FILE:glintfold_standin> $<TARGET_FILE:window_probe>)
    set_tests_properties(release_nt_ok PROPERTIES
        LABELS release DEPENDS release TIMEOUT 600 RESOURCE_LOCK e2e_nt_ok_prefix)
    if(TEST e2e_nt_ok)
        set_property(TEST e2e_nt_ok APPEND PROPERTY RESOURCE_LOCK e2e_nt_ok_prefix)
    endif()
endif()
