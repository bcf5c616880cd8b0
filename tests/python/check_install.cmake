# Installs the build into a fresh prefix and imports the installed package from there, with nothing of the
# build tree on the path: the modules must find their libraries through their install rpath.
# Invoked by CTest: cmake -DBUILD_DIR=... -DWORK_DIR=... -DPYTHON=... -DPACKAGE_DIR=... -P check_install.cmake
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(rc)
  message(FATAL_ERROR "install failed")
endif()
set(script [[
import sys, tempfile
from velmora import singleton, exceptions
from velmora.backtest._prepare import BinaryPreparedDataStore, get_component_factor_names
from velmora.backtest import _depot, _store
from velmora import _http, sqlite_factor_service
assert __import__("velmora").__file__.startswith(sys.argv[1]), __import__("velmora").__file__
assert len(get_component_factor_names()) == 5
with tempfile.TemporaryDirectory() as d:
    assert BinaryPreparedDataStore(d).load() is None
]])
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH PYTHONPATH=${WORK_DIR}/prefix/${PACKAGE_DIR}
                        ${PYTHON} -c "${script}" ${WORK_DIR}/prefix
                WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "the installed package does not import")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
