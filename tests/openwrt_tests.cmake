# Tests of the OpenWrt gateway backend (KORVEX_GATEWAY=openwrt). Every one
# runs through openwrt/setup.sh in fresh network, mount and pid namespaces
# that play a router, so no nftables object ever reaches the machine's own
# ruleset.
set(OWRT_DIR ${CMAKE_CURRENT_SOURCE_DIR}/openwrt)

# The gateway suites of the simulator drive their gateway through its state
# file and its failure injection, and would reach the machine's firewall
# here: the contract suite (tests/gateway/) and the suites below cover the
# same module functions against the kernel instead.
set_tests_properties(unit.gateway_lib_test lua.capi_test lua.arch_test lua.mnf_ipset_test lua.mnf_rule_test
  proc.test_gateway_demo proc.test_thread_cancel_churn PROPERTIES DISABLED TRUE)

# Runs a program with the syscall filter of a kernel without nftables.
add_executable(owrt_no_nft ${OWRT_DIR}/no_nft.cpp)
set_target_properties(owrt_no_nft PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/helpers)

set(OWRT_ENV
  KVX_PYTHON=${PYTHON3}
  KVX_NO_NFT=$<TARGET_FILE:owrt_no_nft>)

file(GLOB OWRT_LUA_TESTS CONFIGURE_DEPENDS ${OWRT_DIR}/*_test.lua)
foreach(src ${OWRT_LUA_TESTS})
  get_filename_component(name ${src} NAME_WE)
  add_test(NAME lua_owrt.${name} COMMAND sh ${OWRT_DIR}/setup.sh ${UT_DIR}/ut ${src})
  set_tests_properties(lua_owrt.${name} PROPERTIES
    ENVIRONMENT "${OWRT_ENV}"
    PASS_REGULAR_EXPRESSION "[1-9][0-9]* passed, 0 failed"
    TIMEOUT 300)
endforeach()

# c.mnf's contract with the gateway library, the suite the simulated
# gateway runs too, here against the kernel of the router namespace.
foreach(src ${GATEWAY_CONTRACT_TESTS})
  get_filename_component(name ${src} NAME_WE)
  add_test(NAME lua_owrt.${name}.openwrt COMMAND sh ${OWRT_DIR}/setup.sh ${UT_DIR}/ut ${src})
  set_tests_properties(lua_owrt.${name}.openwrt PROPERTIES
    ENVIRONMENT "${OWRT_ENV};KVX_GATEWAY_FIXTURE=openwrt"
    PASS_REGULAR_EXPRESSION "[1-9][0-9]* passed, 0 failed"
    TIMEOUT 300)
endforeach()

# The backend's parsers (UCI text, entries, limits) and its C interface
# against the kernel of the router namespace, compiled in.
add_executable(owrt_test ${OWRT_DIR}/owrt_unit_test.cpp ${OWRT_DIR}/owrt_lib_test.cpp ${OWRT_DIR}/owrt_scale_test.cpp)
target_include_directories(owrt_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/unit)
target_link_libraries(owrt_test PRIVATE csecapi_model csecapi_openwrt GTest::gtest_main)
add_test(NAME unit.owrt_test COMMAND sh ${OWRT_DIR}/setup.sh $<TARGET_FILE:owrt_test>)
set_tests_properties(unit.owrt_test PROPERTIES TIMEOUT 120)

# The demo bundle's gateway commands over the command-line client.
file(GLOB OWRT_PROC_TESTS CONFIGURE_DEPENDS ${OWRT_DIR}/test_*.py)
foreach(src ${OWRT_PROC_TESTS})
  get_filename_component(name ${src} NAME_WE)
  add_test(NAME proc_owrt.${name} COMMAND sh ${OWRT_DIR}/setup.sh ${PYTHON3} ${src})
  set_tests_properties(proc_owrt.${name} PROPERTIES ENVIRONMENT "${PROC_ENV};${OWRT_ENV}" TIMEOUT 300)
endforeach()
