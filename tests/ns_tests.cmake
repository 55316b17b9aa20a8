# Script-level tests that need namespaces of their own: each file in lua/ns/
# runs through `ut` as pid 1 of fresh network, mount and pid namespaces
# holding veth interfaces of known names, addresses and MACs (lua/ns/setup.sh).
# reboot.lua is run apart: it restarts its namespace, and passes when the
# namespace's init ended by SIGHUP.
set(NS_DIR ${CMAKE_CURRENT_SOURCE_DIR}/lua/ns)

# The process the pid lookups look for, started under names of their own.
add_executable(ns_idle ${NS_DIR}/idle.cpp)
set_target_properties(ns_idle PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/helpers)

set(NS_ENV
  KVX_NS_IDLE=$<TARGET_FILE:ns_idle>
  KORVEX_BUNDLE_TOOL=$<TARGET_FILE:korvex-bundle>)

file(GLOB NS_LUA_TESTS CONFIGURE_DEPENDS ${NS_DIR}/*_test.lua)
foreach(src ${NS_LUA_TESTS})
  get_filename_component(name ${src} NAME_WE)
  add_test(NAME lua_ns.${name} COMMAND sh ${NS_DIR}/setup.sh ${UT_DIR}/ut ${src})
  set_tests_properties(lua_ns.${name} PROPERTIES
    ENVIRONMENT "${NS_ENV}"
    PASS_REGULAR_EXPRESSION "[1-9][0-9]* passed, 0 failed"
    TIMEOUT 120)
endforeach()

add_test(NAME lua_ns.reboot COMMAND sh ${NS_DIR}/setup.sh --reboot ${UT_DIR}/ut ${NS_DIR}/reboot.lua)
set_tests_properties(lua_ns.reboot PROPERTIES TIMEOUT 120)
