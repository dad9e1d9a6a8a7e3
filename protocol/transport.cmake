# The HTTP transport and downloads. The core (queries with failover, downloads, progress sink,
# file digests) is portable and reaches the network only through the HTTP port; the platform
# library binds it to WinINet (Windows) or libcurl (native).
add_library(corlinq_transport_core STATIC http_port.cc http_client.cc download.cc download_prefetch.cc bind_callback.cc
            transfer_watch.cc progress_throttle.cc
            file_digest.cc)
target_link_libraries(corlinq_transport_core PUBLIC corlinq_config corlinq_envelope
                      PRIVATE dep::crypto)
corlinq_warnings(corlinq_transport_core)

if(WIN32)
  add_library(corlinq_transport STATIC win/http_port_win.cc transport_platform.cc)
  target_link_libraries(corlinq_transport PUBLIC corlinq_transport_core PRIVATE corlinq_base_win wininet)
else()
  add_library(corlinq_transport STATIC http_port_curl.cc transport_platform.cc)
  target_link_libraries(corlinq_transport PUBLIC corlinq_transport_core PRIVATE dep::curl)
endif()
corlinq_warnings(corlinq_transport)

corlinq_test(transport_tests SOURCES transport_test.cc download_prefetch_test.cc LIBS corlinq_transport_core)

# Integration tests over real HTTPS on loopback. Natively the TLS peers run inside the test;
# under Wine the Windows test talks to a native peer process (testing/net_peer_main.cc) that
# testing/run_wine_net_test.sh starts.
set(CORLINQ_NATIVE_BUILD_DIR "${CMAKE_SOURCE_DIR}/build/native" CACHE PATH
    "Native build whose tools (update server, manifest tool) the Wine-tier tests use")
if(NOT CORLINQ_FUZZ)
  if(NOT WIN32)
    add_library(corlinq_tls_peer STATIC testing/tls_peer.cc)
    target_link_libraries(corlinq_tls_peer PUBLIC corlinq_base Threads::Threads PRIVATE ssl crypto)
    corlinq_warnings(corlinq_tls_peer)

    add_executable(corlinq_net_peer testing/net_peer_main.cc)
    target_link_libraries(corlinq_net_peer PRIVATE corlinq_tls_peer)
    corlinq_warnings(corlinq_net_peer)

    add_executable(corlinq_fetch testing/fetch_main.cc)
    target_link_libraries(corlinq_fetch PRIVATE corlinq_transport)
    corlinq_warnings(corlinq_fetch)

    corlinq_test(transport_net_tests SOURCES transport_net_test.cc testing/peers_inprocess.cc
                 LIBS corlinq_transport corlinq_tls_peer LABELS net TIMEOUT 180)

    # Peak memory means nothing under the sanitizers (shadow memory, quarantine).
    if(NOT CORLINQ_SANITIZE)
      add_test(NAME download_memory_test
               COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/testing/download_memory_test.sh
                       $<TARGET_FILE:corlinq_net_peer> $<TARGET_FILE:corlinq_fetch>
                       ${CMAKE_CURRENT_BINARY_DIR})
      set_tests_properties(download_memory_test PROPERTIES LABELS "unit;net" TIMEOUT 300)
    endif()

    # The query and a download against the reference update server (tools/update-server).
    add_test(NAME transport_server_interop_test
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/testing/server_interop_test.sh ${CMAKE_BINARY_DIR}
                     ${CORLINQ_BANK_ID_HEX} $<TARGET_FILE:corlinq_fetch>)
    set_tests_properties(transport_server_interop_test PROPERTIES LABELS "unit;net" TIMEOUT 120)

    # The time bounds against the fault peer (stalled, short and long bodies, a TLS handshake
    # that never completes, a trickle, abandonment, query failover).
    add_test(NAME transport_fault_bounds_test
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/testing/fault_bounds_test.sh ${CMAKE_BINARY_DIR}
                     ${CORLINQ_BANK_ID_HEX} $<TARGET_FILE:corlinq_fetch>)
    set_tests_properties(transport_fault_bounds_test PROPERTIES LABELS net TIMEOUT 400)
  else()
    add_executable(transport_net_tests transport_net_test.cc testing/peers_external.cc)
    target_link_libraries(transport_net_tests PRIVATE corlinq_transport GTest::gtest_main)
    corlinq_warnings(transport_net_tests)
    add_executable(corlinq_fetch testing/fetch_main.cc)
    target_link_libraries(corlinq_fetch PRIVATE corlinq_transport)
    corlinq_warnings(corlinq_fetch)
    corlinq_wine_script_test(transport_server_interop_wine
        COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/testing/server_interop_test.sh ${CORLINQ_NATIVE_BUILD_DIR}
                ${CORLINQ_BANK_ID_HEX} $<TARGET_FILE:corlinq_fetch> --wine
        LABELS net TIMEOUT 120)
    corlinq_wine_script_test(transport_fault_bounds_wine
        COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/testing/fault_bounds_test.sh ${CORLINQ_NATIVE_BUILD_DIR}
                ${CORLINQ_BANK_ID_HEX} $<TARGET_FILE:corlinq_fetch> --wine
        LABELS net TIMEOUT 500)
    corlinq_wine_script_test(transport_net_tests_wine
        COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/testing/run_wine_net_test.sh
                ${CORLINQ_NATIVE_BUILD_DIR}/protocol/corlinq_net_peer $<TARGET_FILE:transport_net_tests>
        LABELS net TIMEOUT 240)
  endif()
endif()
