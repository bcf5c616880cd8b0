# `pip install .` of the checkout into a fresh venv (made with --system-site-packages, as Debian's interpreter
# is externally managed), offline and without build isolation, then an import from outside the checkout with
# nothing of the build tree on the path. The build tree of this test run is reused (VELMORA_CMAKE_BUILD_DIR)
# so that the package is not compiled a second time.
# Invoked by CTest: cmake -DSOURCE_DIR=... -DBUILD_DIR=... -DWORK_DIR=... -DPYTHON=... -P check_pip_install.cmake
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
execute_process(COMMAND ${PYTHON} -m venv --system-site-packages ${WORK_DIR}/venv RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "cannot create a venv (python3-venv)")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env VELMORA_CMAKE_BUILD_DIR=${BUILD_DIR} PIP_NO_INDEX=1
                        ${WORK_DIR}/venv/bin/python -m pip install --no-build-isolation --no-index --quiet ${SOURCE_DIR}
                RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "pip install failed")
endif()
set(script [[
import sys, tempfile
import velmora
from velmora import singleton, exceptions, _http, sqlite_factor_service
from velmora.backtest import BinaryPreparedDataStore, GroupPreparedDataBuilder, get_component_factor_names
assert velmora.__file__.startswith(sys.argv[1]), velmora.__file__
assert velmora.__version__ == sys.argv[2], velmora.__version__
assert len(get_component_factor_names()) == 5
with tempfile.TemporaryDirectory() as d:
    assert BinaryPreparedDataStore(d).load() is None
import os
typed = os.path.join(os.path.dirname(velmora.__file__), "py.typed")
assert os.path.exists(typed), typed
]])
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=PYTHONPATH
                        ${WORK_DIR}/venv/bin/python -c "${script}" ${WORK_DIR}/venv ${VERSION}
                WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "the pip-installed package does not import")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
