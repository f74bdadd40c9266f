# The pellfold Python package (python/pellfold, pure Python on libacbc.so.1
# through ctypes): install component `python`, Debian package
# python3-pellfold. Included by PellfoldInstall.cmake.
#
# The package goes where Debian's python3 finds packages of the system
# (/usr/lib/python3/dist-packages for the prefix /usr); for another Python
# set PELLFOLD_PYTHON_DIR, or install with `pip install ./python`.
set(PELLFOLD_PYTHON_DIR lib/python3/dist-packages CACHE STRING
  "Where the pellfold Python package is installed, relative to the prefix")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/pellfold
  DESTINATION ${PELLFOLD_PYTHON_DIR} COMPONENT python
  FILES_MATCHING PATTERN "*.py" PATTERN "py.typed"
  PATTERN "__pycache__" EXCLUDE)

