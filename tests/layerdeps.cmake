# Reads the headers each object of the libraries below the widgets was really compiled
# with, as Ninja recorded them, and fails on any header of Qt's Gui or Widgets modules,
# however the include spelled it, or any header of the widget library itself.
#
# cmake -DNINJA=... -DBUILD_DIR=... -DOBJECT_DIRS=a.dir;b.dir -DWIDGET_HEADERS=... -P this

cmake_minimum_required(VERSION 3.16)

execute_process(COMMAND ${NINJA} -C ${BUILD_DIR} -t deps
    OUTPUT_VARIABLE deps RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "ninja -t deps failed")
endif()

set(widget_headers "")
foreach(header ${WIDGET_HEADERS})
    get_filename_component(header "${header}" REALPATH)
    list(APPEND widget_headers "${header}")
endforeach()

string(REPLACE ";" "\\;" deps "${deps}")
string(REPLACE "\n" ";" lines "${deps}")
set(object "")
set(objects 0)
set(faults "")
foreach(line ${lines})
    if(line MATCHES "^([^ ].*): #deps")
        set(target "${CMAKE_MATCH_1}")
        set(object "")
        foreach(dir ${OBJECT_DIRS})
            string(FIND "${target}" "CMakeFiles/${dir}/" at)
            if(at EQUAL 0)
                set(object "${target}")
                math(EXPR objects "${objects} + 1")
            endif()
        endforeach()
    elseif(object AND line MATCHES "^ +(.+)$")
        set(header "${CMAKE_MATCH_1}")
        if(header MATCHES "/Qt(Gui|Widgets)/")
            list(APPEND faults "${object}: ${header}")
        else()
            get_filename_component(path "${header}" REALPATH BASE_DIR "${BUILD_DIR}")
            if(path IN_LIST widget_headers)
                list(APPEND faults "${object}: ${header}")
            endif()
        endif()
    endif()
endforeach()

# Without recorded objects the check would pass on nothing.
if(objects EQUAL 0)
    message(FATAL_ERROR "no objects of ${OBJECT_DIRS} recorded; build them first")
endif()
if(faults)
    string(REPLACE ";" "\n  " faults "${faults}")
    message(FATAL_ERROR "the layers below the widgets reach into them:\n  ${faults}")
endif()
message(STATUS "${objects} objects below the widget layer include no widget header")
