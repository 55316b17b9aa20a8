# Script-level tests of raw sends and live captures: each file in
# lua/netpair/ runs through `ut` in fresh network, mount and pid namespaces
# joined by veth pairs to a peer network namespace (lua/netpair/setup.sh).
set(NETPAIR_DIR ${CMAKE_CURRENT_SOURCE_DIR}/lua/netpair)
file(GLOB NETPAIR_LUA_TESTS CONFIGURE_DEPENDS ${NETPAIR_DIR}/*_test.lua)
foreach(src ${NETPAIR_LUA_TESTS})
  get_filename_component(name ${src} NAME_WE)
  add_test(NAME lua_netpair.${name} COMMAND sh ${NETPAIR_DIR}/setup.sh ${UT_DIR}/ut ${src})
  set_tests_properties(lua_netpair.${name} PROPERTIES
    PASS_REGULAR_EXPRESSION "[1-9][0-9]* passed, 0 failed"
    TIMEOUT 300)
endforeach()
