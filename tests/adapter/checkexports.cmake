# Run as: cmake -DNM=<nm> -DLIBRARY=<path> -P checkexports.cmake
# Fails unless the adapter library's dynamic symbol table defines exactly its calls;
# anything more would let programs come to depend on the library's insides.

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
    OUTPUT_VARIABLE listing
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NM} could not read ${LIBRARY}")
endif()

string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(exported)
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
    string(REGEX REPLACE "@.*" "" name "${name}")
    list(APPEND exported ${name})
endforeach()
list(SORT exported)

set(expected canable_freeDLL canable_getStatus canable_initDLL canable_initFD
    canable_lastError canable_lastReadTimestamp canable_listInterfaces canable_readErrorEvent
    canable_readMessage canable_readMessageFD canable_selectInterface canable_setListenOnly
    canable_setReceiveFilter canable_writeMessage canable_writeMessageFD)
if(NOT "${exported}" STREQUAL "${expected}")
    message(FATAL_ERROR "${LIBRARY} exports [${exported}], expected [${expected}]")
endif()
